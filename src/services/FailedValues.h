#pragma once
// What the handler of a "get" or "set" hears when no reply of its device answers the
// request: the request's entries, each carrying the reason as its error and no value, so
// that every value asked about reads as failed, as a device's refusal of each value
// reads. A connection that ended, a connection that never was, an "@error", a refusal of
// the whole message on the way: each answers the request this way.
//
// Stateless; any thread.

#include <string>

#include "storage/ObjectParamContainer.h"

namespace Zelkor {

// From the request line as it went out (routing header and word included); `word` is
// "get" or "set". A line whose entries do not read gives one entry without path that
// carries the reason.
ObjectParamContainer FailedValues(const std::string& word, const std::string& requestLine, const std::string& reason);
// From the container the request was made of; one past the entries bound, which makes no
// line, gives each of its values the reason.
ObjectParamContainer FailedValues(const std::string& word, const ObjectParamContainer& request,
                                  const std::string& reason);

}  // namespace Zelkor
