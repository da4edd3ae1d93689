#include "core/MessageSignalMap.h"

#include <algorithm>
#include <string_view>

#include "core/ICombineMessageSignalMaps.h"
#include "core/LowerCase.h"

namespace Zelkor {

void MessageSignalMap::SetMessageSignalFactory(const MessageSignalFactory& factory) {
    // A factory keeps its word lower-cased from its making: that is the key already.
    _factories.insert_or_assign(factory.Command(), factory);
}

MessageSignalFactory MessageSignalMap::GetMessageSignalFactory(const char* command) const {
    if (!command) {
        return MessageSignalFactory();
    }
    std::string_view word(command);
    if (!word.empty() && word.front() == '@') {
        word.remove_prefix(1);
    }
    // Every received line looks its word up here. Words come in lower case as a rule, and
    // any locale leaves such a word as it is: only another word is folded first.
    const bool folded = std::all_of(word.begin(), word.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && !(c >= 'A' && c <= 'Z');
    });
    const auto found = _factories.find(folded ? std::string(word) : LowerCase(word));
    return found == _factories.end() ? MessageSignalFactory() : found->second;
}

std::vector<MessageSignalFactory> MessageSignalMap::GetMessageSignals() const {
    std::vector<MessageSignalFactory> factories;
    factories.reserve(_factories.size());
    for (const auto& entry : _factories) {
        factories.push_back(entry.second);
    }
    return factories;
}

void MessageSignalMap::GiveTo(ICombineMessageSignalMaps* receiver) const {
    if (!receiver) {
        return;
    }
    for (const auto& [word, factory] : _factories) {
        receiver->SetMessageSignalFactory(factory);
    }
}

}  // namespace Zelkor
