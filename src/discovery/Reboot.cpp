#include "discovery/Reboot.h"

namespace Zelkor {

Reboot::Reboot() : Message({Param::mac, Param::error}) {}

std::unique_ptr<Message> Reboot::Instantiate() const { return std::make_unique<Reboot>(); }

std::unique_ptr<Message> CreateReboot() { return std::make_unique<Reboot>(); }

}  // namespace Zelkor
