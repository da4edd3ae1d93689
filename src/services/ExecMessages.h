#pragma once
// The "exec" word: a controller asks a device to run a named command, the device answers
// with a status and a result.
//   request  exec {"arguments": ..., "command", "path", "requestid"}
//   reply    @exec {"arguments": ..., "command", "error", "path", "requestid", "result", "status"}
// Every member but "arguments" and "result" is a JSON string. "arguments" is the
// message's payload in its form (object of strings, array of strings, string, or other
// JSON as it came). A "result" text that reads as a JSON object or array travels as that
// object or array, any other as a string.
//
// Ownership and threads as for every Message. The reader never throws on peer text.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class ExecCommand : public Message {
public:
    ExecCommand();

    const char* CommandName() const override { return "exec"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The header, "@" for a reply, "exec", a blank and the compact object: "command",
    // "path", "error", "requestid" when set, "status" and "result" only in reply form,
    // "arguments" in the form that is set.
    std::string ToNetworkFormat(bool request) const override;
    // A body that is no JSON text fails with the parser's text; one that is JSON but no
    // object reads as empty. "command", "path", "requestid" are taken when strings; in
    // reply form also "status" and "error" (strings) and "result" (a string as text, an
    // object or array as JSON). "arguments" with more than MaxEntriesPerMessage() members
    // or elements fails with "Too many entries".
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
};

// The driver's table entry for "exec": a new empty request.
std::unique_ptr<Message> CreateExecCommand();

}  // namespace Zelkor
