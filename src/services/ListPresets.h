#pragma once
// "list" with the option "presets": asks a device for its presets. Its answer carries
// the option alone, {"command":"presets"}; no preset list travels yet. The list-command
// router turns every "list" of this option into this message. Base form (every member a
// string).
//
// Ownership and threads as for every Message.

#include <memory>

#include "core/Message.h"

namespace Zelkor {

// One preset of a presets list. No field travels on the wire yet.
struct ListPresetsStruct {};

class ListPresets : public Message {
public:
    static constexpr const char* Option = "presets";

    ListPresets();

    const char* CommandName() const override { return "list"; }
    std::unique_ptr<Message> Instantiate() const override;
};

// A new, empty presets list.
std::unique_ptr<Message> CreateListPresets();

}  // namespace Zelkor
