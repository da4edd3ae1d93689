#pragma once
// The arguments many commands share, checked once before any area sees a command: an
// error then names the argument at fault and what it expected. The command word is taken
// in lower case (the mixed-case words of older scripts stay accepted), and a device is
// named by "guid" in every command ("device" stays accepted).
//
// Threads: none of its own; the node calls it on the loop.

#include <string>

#include <json/value.h>

namespace ZelkorNode {

// The command word in lower case.
std::string CommandWord(const Json::Value& command);

// Puts the device a command names under the member its area reads: "device" for the
// transfer words, "guid" for the others. An empty text when the shared arguments are
// good; else `"NAME": expected WHAT`.
std::string NormalizeArguments(const std::string& word, Json::Value& command);

}  // namespace ZelkorNode
