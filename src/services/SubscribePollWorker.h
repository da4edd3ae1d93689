#pragma once
// The polled-subscription words. A polled subscription is a named list of target paths a
// device reads again for every "poll":
//   "subscribepoll"    request {"name", "format", "targets": [path, ...]}; reply {"name",
//                      "format", "targets": [{"path", "value"}, ...]} with the accepted
//                      targets (dynamic attributes first), or {"error"} alone.
//   "unsubscribepoll"  request {"name"} or the bare word (every subscription of the
//                      connection); reply the bare word or {"error"}.
//   "poll"             request {"name"}; reply {"name", "format", "targets": [value, ...]},
//                      one value per target in registration order ("" for a failed read),
//                      or {"error"}.
// Body members are strings but "targets". A missing "format" reads as "variant", and so
// does "default"; the other accepted words are "norm", "number" and "string".
//
// Two JSON values travel besides the parameters: the targets (request paths, or the
// values of a "poll" reply) and the target values (the entries of a "subscribepoll"
// reply). A reader holds at most MaxEntriesPerMessage() elements in either: a longer
// "targets" array fails with "Too many entries" (ZK5412E), keeping the elements before it.
//
// Ownership and threads as for every Message. The reader never throws on peer text; each
// refusal is logged once with its code and the word and direction ("poll reply").

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/Message.h"

namespace Zelkor {

class SubscribePollWorker : public Message {
public:
    // The line without "\n": the header, "@" for a reply, the word and the body; with
    // "error" set the body is {"error"} alone; a body without members leaves the bare word
    // (after the routing header, if any).
    std::string ToNetworkFormat(bool request) const override;
    // Clears both JSON values, then reads the line. False, with `error` set, for an
    // unreadable line or JSON, a missing required "name" ("poll" without "error", a
    // "subscribepoll" request) or "targets" (absent or null; "subscribepoll" request and
    // "poll" reply, without "error"), a "name" or "format" of the wrong type, an empty "name", an
    // unknown format word, "targets" of the wrong type and too many targets. An "error"
    // member is taken in every case (a request's with a warning).
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // Append to the targets, which become an array (a value that is not one is dropped).
    // False, adding nothing more, once they hold MaxEntriesPerMessage() elements.
    bool AddTarget(const Json::Value& target);
    bool AddTarget(const std::vector<std::string>& targets);
    // Append to the target values, as AddTarget does.
    bool AddTargetValues(const Json::Value& value);
    void GetTargetValues(Json::Value& out) const { out = _targetValues; }

    // Null until something is added or read.
    const Json::Value& GetTargets() const { return _targets; }
    const Json::Value& TargetValues() const { return _targetValues; }

protected:
    explicit SubscribePollWorker(std::vector<Param> declared);

private:
    // ReadBody, but a body that is not JSON fails with the JSON parser's text and an
    // unreadable header with none.
    bool readBody(const std::string& line, Json::Value& body, std::string& error) const;
    bool fail(const char* code, const std::string& label, const char* text, std::string& error) const;
    static bool append(Json::Value& list, const Json::Value& element, std::size_t bound);

    Json::Value _targets;
    Json::Value _targetValues;
};

class SubscribePoll : public SubscribePollWorker {
public:
    SubscribePoll();
    const char* CommandName() const override { return "subscribepoll"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class UnsubscribePoll : public SubscribePollWorker {
public:
    UnsubscribePoll();
    const char* CommandName() const override { return "unsubscribepoll"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class PollSubscription : public SubscribePollWorker {
public:
    PollSubscription();
    const char* CommandName() const override { return "poll"; }
    std::unique_ptr<Message> Instantiate() const override;
};

// The creators of the three words: each a new empty message.
std::unique_ptr<Message> CreateSubscribePoll();
std::unique_ptr<Message> CreateUnsubscribePoll();
std::unique_ptr<Message> CreatePollSubscription();

}  // namespace Zelkor
