#pragma once
// One entry of a multi-value message: the path it was added with, its member name, its
// value, the format, type and error words, and two marks: "isflags" (the value is written
// exactly as held) and "writeonly" (there is no value to show).
//
// A request may carry a hundred thousand entries, so an entry is a compact record: its
// texts share one allocation (each ended by a NUL; none at all for an entry without
// texts), beside the value.
//
// A movable value, not copyable; no sharing, no locking. The texts it hands out stay
// valid while the entry lives and is not moved from.

#include <cstddef>
#include <cstdint>
#include <memory>

#include <json/value.h>

namespace Zelkor {

class MultiValueEntry {
public:
    // Path and name are kept whenever given, even empty; the format, type and error only
    // when given and not empty. `hasValue` false marks the entry "writeonly".
    MultiValueEntry(const char* path, const char* name, Json::Value value, const char* format, const char* type,
                    const char* error, bool isflags, bool hasValue);
    MultiValueEntry(MultiValueEntry&&) noexcept = default;
    MultiValueEntry& operator=(MultiValueEntry&&) noexcept = default;
    MultiValueEntry(const MultiValueEntry&) = delete;
    MultiValueEntry& operator=(const MultiValueEntry&) = delete;
    ~MultiValueEntry() = default;

    // Null for a text not kept.
    const char* Path() const { return text(kPath); }
    const char* Name() const { return text(kName); }
    const char* Format() const { return text(kFormat); }
    const char* Type() const { return text(kType); }
    const char* Error() const { return text(kError); }
    // Null when the entry carries no value.
    const Json::Value& Value() const { return _value; }
    bool IsFlags() const { return _isflags; }
    bool WriteOnly() const { return _writeonly; }

    // What the entry holds in memory, the record and its value included: what a message's
    // bound on the bytes of its entries counts.
    std::size_t HeldBytes() const;

private:
    enum Field : std::uint8_t { kPath, kName, kFormat, kType, kError, kFields };

    const char* text(Field field) const {
        return (_present & (1u << field)) != 0 ? _texts.get() + _offsets[field] : nullptr;
    }

    std::unique_ptr<char[]> _texts;
    std::uint32_t _offsets[kFields] = {};
    std::uint32_t _size = 0;
    Json::Value _value;
    std::uint8_t _present = 0;
    bool _isflags = false;
    bool _writeonly = false;
};

}  // namespace Zelkor
