#pragma once
// The bound on the entries of one multi-value request, and the error text an entry gets
// past it. The parameter tree applies it to each multi-value get (JsonModel::
// SetMaxRequestEntries); readers of multi-value messages bound the entries they take from
// a peer with the same number and answer the rest with the same text.
//
// Constants only; safe from any thread.

#include <cstddef>

namespace Zelkor {

constexpr std::size_t kDefaultMaxRequestEntries = 10000;
constexpr const char* kTooManyEntries = "Too many entries";

}  // namespace Zelkor
