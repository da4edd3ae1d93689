#pragma once
// The event-log words:
//   "log"       request: one row, {"seqno", "time", "priority", "category", "event"}, each
//               a JSON string (a device pushing a row to its subscriber, or a peer adding
//               one); reply: always the body "{}".
//   "sublog"    request {"mark", "priority"} as JSON integers: subscribe to rows at or
//               above the priority, replaying history by the mark (0 none, -n the last n
//               rows, n from seqno n on); reply "{}" or {"error"}.
//   "unsublog"  the bare word both ways (a reply may carry {"error"}).
// The row itself is LOGROW ("storage/LogRow.h").
//
// Ownership and threads as for every Message. The readers never throw on peer text.

#include <memory>
#include <string>

#include "core/Message.h"
#include "storage/LogRow.h"

namespace Zelkor {

class LogRow : public Message {
public:
    LogRow();

    const char* CommandName() const override { return "log"; }
    std::unique_ptr<Message> Instantiate() const override;
    // Request: empty (nothing to send) unless all five row parameters are set, each then
    // written as a string. Reply: the header, "@log" and "{}", whatever is set.
    std::string ToNetworkFormat(bool request) const override;
    // Request: the five row members in order, each taken as its text; the first that is
    // absent or null fails with "Seqno is required.", "Time is required.", "Priority is
    // required.", "Category is required." or "Event is required.". Reply: any body is
    // taken, its declared members with a text form set as texts.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // The row of the parameters: the numbers read from the front of their texts (0 for a
    // text that does not read, or out of range), absent texts empty.
    LOGROW GetRow() const;
    // The five row parameters, the numbers in decimal.
    void SetRow(const LOGROW& row);
};

class SubLog : public Message {
public:
    SubLog();

    const char* CommandName() const override { return "sublog"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The header, the word and the compact body, "{}" when nothing is set: "mark" and
    // "priority" as JSON integers when their texts are numbers, "error" as a string.
    std::string ToNetworkFormat(bool request) const override;
    // Reading is the base's: "mark" and "priority" are kept as their texts.
};

class UnsubLog : public Message {
public:
    UnsubLog();

    const char* CommandName() const override { return "unsublog"; }
    std::unique_ptr<Message> Instantiate() const override;
};

// The creators of the three words: each a new empty message.
std::unique_ptr<Message> CreateLogRow();
std::unique_ptr<Message> CreateSubLog();
std::unique_ptr<Message> CreateUnsubLog();

}  // namespace Zelkor
