#pragma once
// The reply that answers a request its connection ended without writing it: the line its
// peer would have sent to refuse it, so that the request's sender hears of the end where
// it waits for the reply, by the same road.
//
// Stateless; any thread.

#include <string>

namespace Zelkor {

class MessageForwardInfo;

// A refusal of a request: `header` (already turned towards the requester) written in reply
// form for `word`, then the JSON object whose one member "error" is `text`. Empty when the
// header cannot be written.
std::string RefusalLine(MessageForwardInfo& header, const std::string& word, const std::string& text);

// The request's word and route turned back, with `reason` as its "error". A "get" or
// "set" gives the reason to every entry it asked about instead, so that each value reads
// as failed, as a device answers a request its storage could not serve. Empty for a line
// that is no request.
std::string EndedRequestReply(const std::string& line, const std::string& reason);
// The same without its final line feed, as a received line reads: what a raw command's
// callback hears when no reply will come.
std::string EndedRequestText(const std::string& line, const std::string& reason);

}  // namespace Zelkor
