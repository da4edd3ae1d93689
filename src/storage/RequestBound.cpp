#include "storage/RequestBound.h"

#include <algorithm>
#include <atomic>

namespace Zelkor {

namespace {

// What the JSON library spends on each element or member of an array or object besides
// the element's own record: the node of the map that keeps it, and its key.
constexpr std::size_t kElementBytes = 64;
// The allocation behind a text: its length prefix and the allocator's own.
constexpr std::size_t kTextBytes = 16;

std::atomic<std::size_t>& entriesBound() {
    static std::atomic<std::size_t> value{kDefaultMaxEntriesPerMessage};
    return value;
}

std::atomic<std::size_t>& bytesBound() {
    static std::atomic<std::size_t> value{kDefaultMaxEntryBytesPerMessage};
    return value;
}

}  // namespace

std::size_t MaxEntriesPerMessage() { return entriesBound().load(std::memory_order_relaxed); }

void SetMaxEntriesPerMessage(std::size_t count) {
    entriesBound().store(std::max<std::size_t>(count, 1), std::memory_order_relaxed);
}

std::size_t MaxEntryBytesPerMessage() { return bytesBound().load(std::memory_order_relaxed); }

void SetMaxEntryBytesPerMessage(std::size_t bytes) {
    bytesBound().store(std::max<std::size_t>(bytes, 1), std::memory_order_relaxed);
}

std::size_t JsonHeldBytes(const Json::Value& value) {
    switch (value.type()) {
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            value.getString(&begin, &end);
            return kTextBytes + static_cast<std::size_t>(end - begin);
        }
        case Json::arrayValue:
        case Json::objectValue: {
            // The reader bounds the nesting: the recursion is as deep as the value.
            std::size_t held = 0;
            for (auto member = value.begin(); member != value.end(); ++member) {
                held += kElementBytes + sizeof(Json::Value) + JsonHeldBytes(*member);
                if (value.isObject()) {
                    const char* end = nullptr;
                    const char* name = member.memberName(&end);
                    held += kTextBytes + static_cast<std::size_t>(end - name);
                }
            }
            return held;
        }
        default:
            return 0;
    }
}

}  // namespace Zelkor
