#pragma once
// The texts of the event log's rows, one after another in pages of one size, a text
// running on into the next page where one ends. Rows come and go first in, first out, and
// between them the node allocates and frees all it handles: with a block of its own per
// text, every text still held keeps the holes around it from being joined, and the heap
// grows with holes until the whole log has turned over. Pages are all one size, so the page
// given back is the next one taken, and no byte of a page is left unused but at the ends.
//
// Ownership: a plain value, owned by the event store. Threads: none of its own; its
// owner locks around every call.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace Zelkor {

class RowTexts {
public:
    static constexpr std::size_t PageSize = 64 * 1024;

    // Where a text lies; valid until the text is removed or the store cleared.
    struct Ref {
        std::uint64_t start = 0;
        std::size_t length = 0;
    };

    Ref Add(std::string_view text);
    // Appends the text to `out`.
    void AppendTo(const Ref& ref, std::string& out) const;
    std::string Copy(const Ref& ref) const;
    // Removes the oldest text held, which `ref` must be: texts leave in the order they came.
    void RemoveOldest(const Ref& ref);
    void Clear();
    // Pages held, the one being filled included.
    std::size_t Pages() const { return _pages.size(); }

private:
    using Page = std::unique_ptr<char[]>;

    std::deque<Page> _pages;
    // Positions count every byte ever added: the front page begins at _firstPage * PageSize.
    std::uint64_t _firstPage = 0;
    std::uint64_t _end = 0;
};

}  // namespace Zelkor
