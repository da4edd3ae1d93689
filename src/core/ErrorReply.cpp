#include "core/ErrorReply.h"

namespace Zelkor {

ErrorReply::ErrorReply() : Message({Param::message}) {}

const char* ErrorReply::CommandName() const { return "error"; }

std::unique_ptr<Message> ErrorReply::Instantiate() const { return std::make_unique<ErrorReply>(); }

std::string ErrorReply::Reason() const {
    const char* message = GetParameter(Param::message);
    if (message && *message) {
        return message;
    }
    const std::string& received = GetRawText();
    return received.empty() ? ToNetworkFormat(false) : received;
}

}  // namespace Zelkor
