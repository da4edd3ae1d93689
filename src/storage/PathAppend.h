#pragma once
// Joining an object path and a member name into a full storage path. Request containers,
// multi-value expansion and presets all build their paths this way, so they always agree;
// SplitParameterPath ("storage/StoragePath.h") takes a full path apart again.
//
// A pure function; safe from any thread.

#include <string>

namespace Zelkor {

// `first` and `second` joined by one "/". No separator is inserted when `second` is
// empty (the result is `first`), when `first` is empty or already ends with "/", or
// when `second` begins with "/".
std::string AppendPath(const std::string& first, const std::string& second);

}  // namespace Zelkor
