#include "transport/AnswerWaits.h"

#include <initializer_list>

#include <json/value.h>

#include "core/JsonText.h"

namespace Zelkor {

namespace {

bool oneOf(const std::string& word, const std::initializer_list<const char*>& words) {
    for (const char* each : words) {
        if (word == each) {
            return true;
        }
    }
    return false;
}

}  // namespace

AnswerWait AnswerWaitOf(const std::string& word, std::string_view body) {
    if (oneOf(word, {"get", "set", "subscribe", "unsubscribe", "subscribepoll", "unsubscribepoll", "poll", "sublog",
                     "unsublog", "subscribeevent", "unsubscribeevent", "ls", "cd", "disco", "starttls", "goodbye",
                     "senddisco", "cancelputfile", "authenticate", "setverificationcode"})) {
        return AnswerWait::Prompt;
    }
    if (oneOf(word, {"publish", "log", "event", "block", "putfile", "getfile"})) {
        return AnswerWait::Relay;
    }
    if (word == "list" && !body.empty()) {
        // The lists of the node's own tables come at once; presets are the application's.
        Json::Value parsed;
        if (ReadStructuredJson(body, parsed) && parsed.isObject()) {
            const Json::Value& command = parsed["command"];
            if (command == "discovered" || command == "publishers") {
                return AnswerWait::Prompt;
            }
        }
    }
    return AnswerWait::Work;
}

}  // namespace Zelkor
