#include "storage/RowTexts.h"

#include <algorithm>
#include <cstring>

namespace Zelkor {

RowTexts::Ref RowTexts::Add(std::string_view text) {
    const Ref ref{_end, text.size()};
    while (!text.empty()) {
        const std::size_t offset = static_cast<std::size_t>(_end % PageSize);
        if (offset == 0 && _end / PageSize >= _firstPage + _pages.size()) {
            _pages.push_back(std::make_unique<char[]>(PageSize));
        }
        const std::size_t part = std::min(text.size(), PageSize - offset);
        std::memcpy(_pages.back().get() + offset, text.data(), part);
        text.remove_prefix(part);
        _end += part;
    }
    return ref;
}

void RowTexts::AppendTo(const Ref& ref, std::string& out) const {
    std::uint64_t at = ref.start;
    std::size_t left = ref.length;
    while (left > 0) {
        const auto& page = _pages[static_cast<std::size_t>(at / PageSize - _firstPage)];
        const std::size_t offset = static_cast<std::size_t>(at % PageSize);
        const std::size_t part = std::min(left, PageSize - offset);
        out.append(page.get() + offset, part);
        at += part;
        left -= part;
    }
}

std::string RowTexts::Copy(const Ref& ref) const {
    std::string text;
    text.reserve(ref.length);
    AppendTo(ref, text);
    return text;
}

void RowTexts::RemoveOldest(const Ref& ref) {
    if (ref.length == 0) {
        // It holds no byte: what it says of where texts end may be out of date.
        return;
    }
    const std::uint64_t consumed = ref.start + ref.length;
    if (consumed == _end) {
        // Nothing is held any more: the next text starts the front page afresh.
        _pages.resize(std::min<std::size_t>(_pages.size(), 1));
        _firstPage = _end = 0;
        return;
    }
    // Pages that end at or before what is consumed hold nothing any more.
    while (!_pages.empty() && (_firstPage + 1) * PageSize <= consumed) {
        _pages.pop_front();
        ++_firstPage;
    }
}

void RowTexts::Clear() {
    _pages.clear();
    _firstPage = _end = 0;
}

}  // namespace Zelkor
