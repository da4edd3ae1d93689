#pragma once
// Letter case folding of the words the protocol compares without regard to case (command
// words, parameter names): byte by byte with the global locale's lower-case mapping.
//
// A pure function; safe from any thread while nobody changes the global locale.

#include <string>
#include <string_view>

namespace Zelkor {

// `text` lower-cased. The locale's case facet is fetched once per text, not per byte:
// every member name of every received body passes through here.
std::string LowerCase(std::string_view text);

}  // namespace Zelkor
