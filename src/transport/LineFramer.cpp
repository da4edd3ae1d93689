#include "transport/LineFramer.h"

namespace Zelkor {

bool LineFramer::Next(std::string& line) {
    if (_overflowed) {
        return false;
    }
    const std::size_t end = _data.find('\n', _scanned);
    if (end == std::string::npos) {
        _scanned = _data.size();
        _overflowed = PendingSize() > _maxLineLength;
        compact();
        return false;
    }
    if (end - _start > _maxLineLength) {
        _overflowed = true;
        return false;
    }
    if (_start == 0 && end + 1 == _data.size()) {
        // The buffer holds this line alone, as when the peer waits for its reply: the
        // buffers trade places rather than the line being copied.
        line.swap(_data);
        _data.clear();
        _start = _scanned = 0;
        // Lines of one kind come in a row (a file's blocks): room for another as long saves
        // growing the buffer read by read, each time copying what came so far. The next
        // line handed over whole takes that room with it.
        if (_data.capacity() < line.size() && line.size() <= KeepCapacity) {
            _data.reserve(line.size());
        }
        return true;
    }
    line.assign(_data, _start, end + 1 - _start);
    _start = _scanned = end + 1;
    return true;
}

void LineFramer::StripFront(std::string& line) {
    std::size_t at = 0;
    while (at < line.size()) {
        const auto byte = static_cast<unsigned char>(line[at]);
        if (byte > ' ' && byte <= 0x7e) {
            break;
        }
        ++at;
    }
    line.erase(0, at);
}

bool LineFramer::IsBlank(const std::string& line) {
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > ' ' && byte <= 0x7e) {
            return false;
        }
    }
    return true;
}

void LineFramer::Clear() {
    std::string().swap(_data);
    _start = _scanned = 0;
    _overflowed = false;
}

void LineFramer::compact() {
    // Once per read, not once per line: the consumed front goes in one move.
    if (_start > 0) {
        _data.erase(0, _start);
        _scanned -= _start;
        _start = 0;
    }
    // One long line must not pin its buffer for the rest of the connection's life.
    if (_data.capacity() > KeepCapacity && _data.size() < _data.capacity() / 4) {
        _data.shrink_to_fit();
    }
}

}  // namespace Zelkor
