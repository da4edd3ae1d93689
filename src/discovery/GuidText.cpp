#include "discovery/GuidText.h"

#include <stdexcept>

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace Zelkor {

bool ParseGuid(const std::string& text, boost::uuids::uuid& out) {
    // The longest accepted form is the braced, hyphenated one: longer text is refused
    // before the parser sees it.
    if (text.size() < 32 || text.size() > 38) {
        return false;
    }
    try {
        out = boost::uuids::string_generator()(text);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::string CanonicalGuid(const std::string& text) {
    boost::uuids::uuid guid{};
    return ParseGuid(text, guid) ? CanonicalGuid(guid) : std::string();
}

std::string CanonicalGuid(const boost::uuids::uuid& guid) { return boost::uuids::to_string(guid); }

}  // namespace Zelkor
