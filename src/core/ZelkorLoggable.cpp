#include "core/ZelkorLoggable.h"

#include <sstream>

#include <json/value.h>
#include <json/writer.h>

namespace ZelkorLogDetail {

void Append(std::string& out, const Json::Value& value) {
    std::ostringstream stream;
    stream << value;
    out += stream.str();
}

}  // namespace ZelkorLogDetail
