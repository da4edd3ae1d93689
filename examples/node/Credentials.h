#pragma once
// The TLS material the options name, read and checked before the node starts: the
// library would otherwise put a generated pair in the place of files it cannot use, and
// a node meant to show its own certificate would show another without a word.
//
// Threads: any; it touches nothing but the files and its own OpenSSL objects.

#include <string>

#include "Options.h"

namespace ZelkorNode {

// False, with `error` naming the option, the file and why, when --cert, --key or --dh
// names a file that cannot be read or holds no such thing, when the key does not match
// the certificate, or when one of the pair is given without the other.
bool CheckCredentials(const Options& options, std::string& error);

}  // namespace ZelkorNode
