#include "storage/DescriptorFlags.h"

#include <array>
#include <utility>

namespace Zelkor {

std::optional<unsigned> FlagBit(const std::string& word) {
    static const std::array<std::pair<const char*, unsigned>, 11> kWords = {{
        {"nsub", FlagNoSubscribe},
        {"nsyn", FlagNsyn},
        {"nvo", FlagNvo},
        {"nsip", FlagNsip},
        {"uni", FlagUni},
        {"std", FlagStd},
        {"met", FlagMeter},
        {"dis", FlagDisabled},
        {"atomic", FlagAtomic},
        {"lock", FlagLock},
        {"poll", FlagPoll},
    }};
    for (const auto& [name, bit] : kWords) {
        if (word == name) {
            return bit;
        }
    }
    return std::nullopt;
}

}  // namespace Zelkor
