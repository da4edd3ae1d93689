#include "core/MessageSignalMap.h"

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
    const auto found = _factories.find(LowerCase(word));
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
