#include "services/ListPresets.h"

namespace Zelkor {

ListPresets::ListPresets() : Message({Param::command, Param::path, Param::isdirty, Param::error}) {}

std::unique_ptr<Message> ListPresets::Instantiate() const { return std::make_unique<ListPresets>(); }

std::unique_ptr<Message> CreateListPresets() { return std::make_unique<ListPresets>(); }

}  // namespace Zelkor
