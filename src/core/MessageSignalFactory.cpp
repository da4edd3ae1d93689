#include "core/MessageSignalFactory.h"

#include "core/LowerCase.h"

namespace Zelkor {

MessageSignalFactory::MessageSignalFactory(const char* command, Signal<MessageSignalData>* signal,
                                           MessageFactoryFunction create)
    : _command(LowerCase(command ? command : "")), _signal(signal), _create(create) {}

}  // namespace Zelkor
