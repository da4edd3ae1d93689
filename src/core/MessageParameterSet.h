#pragma once
// The parameters a message holds, at most one per name.
//
// Most bodies carry one or two members: those are kept in slots inside the set, and only
// further ones go to a map, so a small message is filled and dropped without an
// allocation for its parameters. A stored parameter stays where it is until it is
// replaced or removed, so the text pointer it hands out is not moved by changes to
// other parameters.
//
// Value type; copies are independent. Threads as for MessageParameter.

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <tuple>
#include <utility>

#include "core/MessageParameter.h"
#include "core/Param.h"

namespace Zelkor {

class MessageParameterSet {
public:
    // Null when `p` is not stored.
    const MessageParameter* Find(Param p) const;
    // Stores the parameter made of `p` and `args`, replacing the one stored. A new one is
    // made in its place; a replacing one is made before the one stored goes, so a text
    // it is made from may belong to that one.
    template <class... Args>
    void Store(Param p, Args&&... args) {
        if (MessageParameter* stored = storedAt(p)) {
            *stored = MessageParameter(p, std::forward<Args>(args)...);
            return;
        }
        for (auto& slot : _slots) {
            if (!slot) {
                slot.emplace(p, std::forward<Args>(args)...);
                return;
            }
        }
        _more.emplace(std::piecewise_construct, std::forward_as_tuple(p),
                      std::forward_as_tuple(p, std::forward<Args>(args)...));
    }
    void Erase(Param p);
    std::size_t Size() const;

private:
    MessageParameter* storedAt(Param p);

    std::array<std::optional<MessageParameter>, 2> _slots;
    std::map<Param, MessageParameter> _more;
};

}  // namespace Zelkor
