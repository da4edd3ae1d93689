#pragma once
// How long a request's answer may take, by the kind of work the answer needs: a node
// awaits each answer for a bound of its kind, whatever else its peer sends meanwhile,
// and takes the peer for lost once it is past it.
//
//   Prompt  answered from the tree, or by the node itself, at once (get, set, the
//           subscribing words, folder navigation, the keep-alive "disco", a proof of the
//           code: one the bounds on guessing hold back is refused at once).
//   Relay   notices and file transfers, whose answer comes from a requester that may
//           be busy, or from a disk that a block waits on; transfers keep their own
//           timer beside it.
//   Work    answered after work on a disk or in the application (listings that digest
//           files, removals, firmware, commands, device state), and any word this
//           library does not know.
//
// Stateless; any thread.

#include <string>
#include <string_view>

namespace Zelkor {

enum class AnswerWait { Prompt, Relay, Work };

// The kind of the request `word` (without "@"); `body` is its JSON text, read only for
// "list", whose answer is prompt or not by the list it asks for. With no body known, a
// list counts as work.
AnswerWait AnswerWaitOf(const std::string& word, std::string_view body = {});

}  // namespace Zelkor
