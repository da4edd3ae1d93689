#pragma once
// The bound on the entries of one message, and the error text past it. One setting for
// the process serves every place that turns a peer's list into entries or answers one:
// the parameter tree's multi-value get (JsonModel::GetObjectsParameters), the readers of
// multi-value messages, and the folder listings ("ls", "rls") both read and written. A
// line of the line framer's full length would otherwise become millions of entries.
//
// Threads: the setting is atomic; it may be changed at any time, and a read or answer
// under way keeps the bound it started with.

#include <cstddef>

namespace Zelkor {

constexpr std::size_t kDefaultMaxEntriesPerMessage = 100000;
constexpr const char* kTooManyEntries = "Too many entries";

// The entries one message may carry; kDefaultMaxEntriesPerMessage until set.
std::size_t MaxEntriesPerMessage();
// At least 1.
void SetMaxEntriesPerMessage(std::size_t count);

}  // namespace Zelkor
