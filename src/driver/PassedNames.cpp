#include "driver/PassedNames.h"

namespace Zelkor {

void PassedNames::erase(std::map<Key, Mark>::iterator at) {
    _told.erase(at->second.order);
    _marks.erase(at);
}

void PassedNames::Told(const TcpSocket* connection, const std::string& name, std::uint64_t requestsTaken) {
    Key key(connection, name);
    if (const auto found = _marks.find(key); found != _marks.end()) {
        erase(found);
    }
    while (_marks.size() >= MaxEntries && !_told.empty()) {
        erase(_marks.find(_told.begin()->second));
    }
    const std::uint64_t order = ++_next;
    _told.emplace(order, key);
    _marks.emplace(std::move(key), Mark{requestsTaken, order});
}

bool PassedNames::Knows(const TcpSocket* connection, const std::string& name) const {
    // Most of the time no name has ended: a notice's path builds no key then.
    return !_marks.empty() && _marks.count(Key(connection, name)) > 0;
}

void PassedNames::Answered(const TcpSocket* connection, std::uint64_t ordinal) {
    if (ordinal == 0) {
        return;
    }
    for (auto at = _marks.lower_bound(Key(connection, std::string())); at != _marks.end() && at->first.first == connection;) {
        if (at->second.taken < ordinal) {
            erase(at++);
        } else {
            ++at;
        }
    }
}

void PassedNames::Closed(const TcpSocket* connection) {
    for (auto at = _marks.lower_bound(Key(connection, std::string())); at != _marks.end() && at->first.first == connection;) {
        erase(at++);
    }
}

}  // namespace Zelkor
