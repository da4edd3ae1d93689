#pragma once
// Joining an object path and a member name into a full storage path, and splitting a
// full path back into the two. Request containers, multi-value expansion and presets
// all build their paths this way, so they always agree.
//
// A pure function; safe from any thread.

#include <string>
#include <utility>

namespace Zelkor {

// `first` and `second` joined by one "/". No separator is inserted when `second` is
// empty (the result is `first`), when `first` is empty or already ends with "/", or
// when `second` begins with "/".
std::string AppendPath(const std::string& first, const std::string& second);

// Object path and member name of a full path, the name being the last element as a
// filesystem path sees it: "/a/b" gives "/a" and "b", "/c" gives "/" and "c", "/a/b/"
// gives "/a/b" and ".", "/" gives "" and "/". A path without "/" is an object path with
// no name.
std::pair<std::string, std::string> SplitParameterPath(const std::string& path);

}  // namespace Zelkor
