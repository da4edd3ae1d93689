#include "discovery/Goodbye.h"

namespace Zelkor {

Goodbye::Goodbye() : Message({Param::reason, Param::error}) {}

const char* Goodbye::CommandName() const { return "goodbye"; }

std::unique_ptr<Message> Goodbye::Instantiate() const { return std::make_unique<Goodbye>(); }

}  // namespace Zelkor
