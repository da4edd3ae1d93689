#pragma once
// One row of a node's event log as the services pass it around, with its one-line JSON
// form ({"category","event","priority","seqno","time"}).
//
// A plain record (an aggregate); no sharing, no locking. from_json never throws.

#include <cstdint>
#include <string>

struct LOGROW {
    std::uint64_t seqno = 0;
    std::int64_t time = 0;
    std::uint32_t priority = 0;
    std::string category;
    std::string event;

    // Compact JSON, members in name order; the three numbers are written as unsigned
    // 64-bit values (a negative time as its two's-complement bit pattern, which
    // from_json turns back).
    std::string to_json() const;

    // Reads the JSON object that starts at the first "{" of `text` (anything before it
    // is skipped); absent members read as 0 or the empty text. False, with the row left
    // as it was, when there is no "{", the text does not parse, it is not an object, or
    // a member has a type or range that does not fit its field.
    bool from_json(const std::string& text);
};
