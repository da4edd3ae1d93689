#pragma once
// The reply that answers a request its connection ended without writing it, or that it
// never saw answered before it closed: the line its peer would have sent to refuse it, so
// that the request's sender hears of the end where it waits for the reply, by the same
// road.
//
// Stateless; any thread.

#include <string>

#include <json/value.h>

namespace Zelkor {

class MessageForwardInfo;

// A refusal of a request: `header` (already turned towards the requester) written in reply
// form for `word`, then a JSON object: the members of `repeated` (IdentifyingMembers of the
// request) and "error", which is `text`. Empty when the header cannot be written.
std::string RefusalLine(MessageForwardInfo& header, const std::string& word, const std::string& text,
                        const Json::Value& repeated = Json::Value());

// What a refusal of a request of `word` repeats of its body `request`, so that the answer
// finds the one who waits for it: a list's "command", by which answers of the word are
// routed to the service of the option. An empty object for any other word.
Json::Value IdentifyingMembers(const std::string& word, const Json::Value& request);

// The request's word and route turned back, with `reason` as its "error" and what
// IdentifyingMembers takes of its body. A "get" or "set" gives the reason to every entry
// it asked about instead, so that each value reads as failed, as a device answers a
// request its storage could not serve. Empty for a line that is no request.
std::string EndedRequestReply(const std::string& line, const std::string& reason);
// The refusal of `line`, a request (or its head, by which it is refused with less of it
// repeated), as EndedRequestReply makes it, with `header` read from it and already turned
// towards the requester.
std::string RefusalOf(const std::string& line, MessageForwardInfo& header, const std::string& reason);
// The same without its final line feed, as a received line reads: what a raw command's
// callback hears when no reply will come.
std::string EndedRequestText(const std::string& line, const std::string& reason);

}  // namespace Zelkor
