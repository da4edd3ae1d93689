#pragma once
// The one key of a device: its GUID. Peers write GUIDs in several forms (hyphens or none,
// braces or none, any letter case); every table and every lookup uses the canonical
// form, so that all of them name the same device.
//
// Pure functions: any thread. They never throw on peer text.

#include <string>

#include <boost/uuid/uuid.hpp>

namespace Zelkor {

// Parses 32 hexadecimal digits, optionally hyphenated 8-4-4-4-12 and optionally in
// braces. False, `out` untouched, for anything else.
bool ParseGuid(const std::string& text, boost::uuids::uuid& out);

// The canonical text: 36 characters, lower case, hyphenated. Empty when the text is no
// GUID.
std::string CanonicalGuid(const std::string& text);
std::string CanonicalGuid(const boost::uuids::uuid& guid);

}  // namespace Zelkor
