#pragma once
// One command word with the signal that delivers its messages and the function that
// makes an empty message of its class. A default-made factory (empty word, no signal, no
// function) is the "not found" value of a lookup.
//
// Value type. The signal belongs to the registering service, which outlives the
// registration. Threads: immutable after construction.

#include <memory>
#include <string>

namespace Zelkor {

class Message;
class MessageSignalData;
template <class T>
class Signal;

// Makes a new, empty message of one class; the caller owns it.
using MessageFactoryFunction = std::unique_ptr<Message> (*)();

class MessageSignalFactory {
public:
    MessageSignalFactory() = default;
    // The word is kept lower-cased; a null word is the empty one.
    MessageSignalFactory(const char* command, Signal<MessageSignalData>* signal, MessageFactoryFunction create);

    const char* Command() const { return _command.c_str(); }
    Signal<MessageSignalData>* MessageSignal() const { return _signal; }
    MessageFactoryFunction MessageFactory() const { return _create; }

private:
    std::string _command;
    Signal<MessageSignalData>* _signal = nullptr;
    MessageFactoryFunction _create = nullptr;
};

}  // namespace Zelkor
