#pragma once
// The bounds on the entries of one message, and the error text past them. One setting for
// the process serves every place that turns a peer's list into entries or answers one:
// the parameter tree's multi-value get (JsonModel::GetObjectsParameters), the readers of
// multi-value messages, and the folder listings ("ls", "rls") both read and written. A
// line of the line framer's full length would otherwise become millions of entries.
//
// Besides their count, the bytes the entries of a multi-value message hold are bounded
// (each entry's record, texts and value, as JsonHeldBytes and the entry count them): a
// grouped entry names its object path once for all its members, and each member keeps it,
// so a long path and many short members would make a line of a few megabytes a store of
// gigabytes. The default leaves room for the entries bound of ordinary paths and values.
//
// Threads: the settings are atomic; they may be changed at any time, and a read or answer
// under way keeps the bounds it started with.

#include <cstddef>

#include <json/value.h>

namespace Zelkor {

constexpr std::size_t kDefaultMaxEntriesPerMessage = 100000;
constexpr std::size_t kDefaultMaxEntryBytesPerMessage = std::size_t{32} << 20;
constexpr const char* kTooManyEntries = "Too many entries";

// The entries one message may carry; kDefaultMaxEntriesPerMessage until set.
std::size_t MaxEntriesPerMessage();
// At least 1.
void SetMaxEntriesPerMessage(std::size_t count);

// The bytes the entries of one multi-value message may hold; kDefaultMaxEntryBytesPerMessage
// until set.
std::size_t MaxEntryBytesPerMessage();
// At least 1.
void SetMaxEntryBytesPerMessage(std::size_t bytes);

// What a JSON value holds in memory beyond its own record: its texts, and each element or
// member with its name and the bookkeeping of the container that keeps it. An estimate of
// the JSON library's own use, within a small factor.
std::size_t JsonHeldBytes(const Json::Value& value);

}  // namespace Zelkor
