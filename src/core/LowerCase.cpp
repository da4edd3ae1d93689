#include "core/LowerCase.h"

#include <locale>

namespace Zelkor {

std::string LowerCase(std::string_view text) {
    std::string lower(text);
    std::use_facet<std::ctype<char>>(std::locale()).tolower(lower.data(), lower.data() + lower.size());
    return lower;
}

}  // namespace Zelkor
