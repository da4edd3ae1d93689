#include "core/MessageParameterSet.h"

namespace Zelkor {

const MessageParameter* MessageParameterSet::Find(Param p) const {
    for (const auto& slot : _slots) {
        if (slot && slot->ParameterName() == p) {
            return &*slot;
        }
    }
    if (_more.empty()) {
        return nullptr;
    }
    const auto found = _more.find(p);
    return found == _more.end() ? nullptr : &found->second;
}

MessageParameter* MessageParameterSet::storedAt(Param p) {
    return const_cast<MessageParameter*>(static_cast<const MessageParameterSet&>(*this).Find(p));
}

void MessageParameterSet::Erase(Param p) {
    for (auto& slot : _slots) {
        if (slot && slot->ParameterName() == p) {
            slot.reset();
            return;
        }
    }
    if (!_more.empty()) {
        _more.erase(p);
    }
}

std::size_t MessageParameterSet::Size() const {
    std::size_t count = _more.size();
    for (const auto& slot : _slots) {
        count += slot ? 1 : 0;
    }
    return count;
}

}  // namespace Zelkor
