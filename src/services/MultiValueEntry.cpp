#include "services/MultiValueEntry.h"

#include <cstring>
#include <utility>

#include "storage/RequestBound.h"

namespace Zelkor {

MultiValueEntry::MultiValueEntry(const char* path, const char* name, Json::Value value, const char* format,
                                 const char* type, const char* error, bool isflags, bool hasValue)
    : _value(std::move(value)), _isflags(isflags), _writeonly(!hasValue) {
    const bool isSet[kFields] = {path != nullptr, name != nullptr, format && *format, type && *type,
                                 error && *error};
    const char* const given[kFields] = {path, name, format, type, error};
    std::size_t lengths[kFields] = {};
    std::size_t size = 0;
    for (int field = 0; field < kFields; ++field) {
        if (isSet[field]) {
            lengths[field] = std::strlen(given[field]);
            size += lengths[field] + 1;
        }
    }
    if (size == 0) {
        return;
    }
    _texts = std::make_unique<char[]>(size);
    std::size_t at = 0;
    for (int field = 0; field < kFields; ++field) {
        if (isSet[field]) {
            std::memcpy(_texts.get() + at, given[field], lengths[field] + 1);
            _offsets[field] = static_cast<std::uint32_t>(at);
            _present = static_cast<std::uint8_t>(_present | (1u << field));
            at += lengths[field] + 1;
        }
    }
    _size = static_cast<std::uint32_t>(size);
}

std::size_t MultiValueEntry::HeldBytes() const { return sizeof(*this) + _size + JsonHeldBytes(_value); }

}  // namespace Zelkor
