#pragma once
// "list" with the option "publishers": asks a node which paths it publishes, and its
// answer, the publisher table (path to the formats subscribed on it):
//   {"command":"publishers","/a":["number","string"],"/b":"variant"}
// A path with one format carries it as a text, with several as an array of texts, with
// none as "variant". The router turns every "list" of this option into this message.
//
// The table holds at most MaxEntriesPerMessage() entries (a path's formats, a path
// without any counting one): AddPublisher past that adds nothing, and the reader fails
// with "Too many entries", keeping the paths read before.
//
// Ownership and threads as for every Message. The reader never throws on peer text.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Message.h"

namespace Zelkor {

class ListPublishers : public Message {
public:
    static constexpr const char* Option = "publishers";
    // Path (byte order) to its formats in the order added, repeats kept.
    using Publishers = std::map<std::string, std::vector<std::string>>;

    ListPublishers();

    const char* CommandName() const override { return "list"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The header, "list" (with "@" for a reply) and {"command":"publishers", path: formats
    // ...}, paths in ascending order; a path named "command" cannot be written and is left
    // out.
    std::string ToNetworkFormat(bool request) const override;
    // "command" must be the string "publishers" ("Missing list command name: publishers").
    // Every other member is a path whose list it replaces: an array gives its elements'
    // texts, null the one format "variant", any other value its text.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // Appends the format ("variant" for a null or empty one) to the path's list; a null
    // path adds nothing. False, adding nothing, once the table is full.
    bool AddPublisher(const char* path, const char* format);

    const Publishers& GetPublishers() const { return _publishers; }
    std::size_t EntryCount() const { return _entryCount; }

private:
    Publishers _publishers;
    std::size_t _entryCount = 0;
};

// A new, empty "publishers" list.
std::unique_ptr<Message> CreateListPublishers();

}  // namespace Zelkor
