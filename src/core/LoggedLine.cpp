#include "core/LoggedLine.h"

namespace Zelkor {

std::string LoggedLine(std::string_view line) {
    if (line.size() <= kLoggedLineLimit) {
        return std::string(line);
    }
    std::string cut(line.substr(0, kLoggedLineLimit));
    cut += "... (";
    cut += std::to_string(line.size());
    cut += " bytes)";
    return cut;
}

}  // namespace Zelkor
