#include "core/MessageSignalFactory.h"

#include <locale>

namespace Zelkor {

std::string CommandKey(std::string_view word) {
    std::string key(word);
    const std::locale locale;
    for (char& c : key) {
        c = std::tolower(c, locale);
    }
    return key;
}

MessageSignalFactory::MessageSignalFactory(const char* command, Signal<MessageSignalData>* signal,
                                           MessageFactoryFunction create)
    : _command(CommandKey(command ? command : "")), _signal(signal), _create(create) {}

}  // namespace Zelkor
