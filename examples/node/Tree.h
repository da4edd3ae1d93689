#pragma once
// The node's parameter tree: the one --tree names, or a small one of the runner's own.

#include <memory>
#include <string>

#include "Options.h"
#include "storage/JsonModel.h"

namespace ZelkorNode {

// The runner's incoming limit when neither the tree nor --max-incoming sets one.
constexpr unsigned long kDefaultMaxIncoming = 64;

// The tree with the node's name and GUID written in, the list rules of --exclude and the
// routes of --route; the options then hold the name, the GUID and the incoming limit in
// force. Without --guid the
// tree's GUID is kept when it is one, else the node gets a new one; a node without --tree
// and --name is named after its GUID. Null, with `error` set, when the tree cannot be
// used.
std::shared_ptr<Zelkor::JsonModel> LoadTree(Options& options, std::string& error);

}  // namespace ZelkorNode
