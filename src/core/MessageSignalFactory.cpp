#include "core/MessageSignalFactory.h"

#include <locale>

namespace Zelkor {

std::string CommandKey(std::string_view word) {
    std::string key(word);
    std::use_facet<std::ctype<char>>(std::locale()).tolower(key.data(), key.data() + key.size());
    return key;
}

MessageSignalFactory::MessageSignalFactory(const char* command, Signal<MessageSignalData>* signal,
                                           MessageFactoryFunction create)
    : _command(CommandKey(command ? command : "")), _signal(signal), _create(create) {}

}  // namespace Zelkor
