#include "core/ErrorReply.h"

namespace Zelkor {

ErrorReply::ErrorReply() : Message({Param::message}) {}

const char* ErrorReply::CommandName() const { return "error"; }

std::unique_ptr<Message> ErrorReply::Instantiate() const { return std::make_unique<ErrorReply>(); }

}  // namespace Zelkor
