#pragma once
// The command words a service or the driver handles, keyed by the lower-cased word.
// A lookup skips one leading "@" (the reply mark) and ignores letter case, so a request
// and its reply find the same entry.
//
// Value type. Threads: filled at start-up; concurrent lookups are safe while nobody
// registers.

#include <map>
#include <string>
#include <vector>

#include "core/MessageSignalFactory.h"

namespace Zelkor {

class ICombineMessageSignalMaps;

class MessageSignalMap {
public:
    // Adds the word, or replaces its entry (word, signal and function): the last
    // registration of a word wins.
    void SetMessageSignalFactory(const MessageSignalFactory& factory);
    // The entry of the word; the empty factory when the word is not registered.
    MessageSignalFactory GetMessageSignalFactory(const char* command) const;
    // Every entry in ascending byte order of the word.
    std::vector<MessageSignalFactory> GetMessageSignals() const;
    // Hands every entry to `receiver` (the driver's map); nothing for a null receiver.
    void GiveTo(ICombineMessageSignalMaps* receiver) const;

private:
    std::map<std::string, MessageSignalFactory> _factories;
};

}  // namespace Zelkor
