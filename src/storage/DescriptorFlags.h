#pragma once
// The flag words of a descriptor's ".flags" list and their bits. Within the storage only
// "nsub" and "lock" change an outcome; the other bits are carried for the services.
// Stateless; safe from any thread.

#include <optional>
#include <string>

namespace Zelkor {

enum DescriptorFlag : unsigned {
    FlagNoSubscribe = 0x1,  // "nsub"
    FlagNsyn = 0x2,         // "nsyn"
    FlagNvo = 0x4,          // "nvo"
    FlagNsip = 0x8,         // "nsip"
    FlagUni = 0x10,         // "uni"
    FlagStd = 0x20,         // "std"
    FlagMeter = 0x40,       // "met"
    FlagDisabled = 0x80,    // "dis"
    FlagAtomic = 0x100,     // "atomic"
    FlagLock = 0x200,       // "lock"
    FlagPoll = 0x400,       // "poll"
};

// The bit of a flag word (compared exactly); empty for an unknown word.
std::optional<unsigned> FlagBit(const std::string& word);

}  // namespace Zelkor
