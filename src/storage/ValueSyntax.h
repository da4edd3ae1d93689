#pragma once
// Syntax checks of written texts. Both scan the text once, without backtracking or
// recursion, so a value of any size from a peer is checked in linear time and constant
// stack. Stateless; safe from any thread.

#include <string>

namespace Zelkor {

// A non-empty text of an optional sign, digits, an optional fraction (a point and at least
// one digit) and an optional exponent ("e" or "E", an optional sign, at least one digit).
// "12", "-0.5", ".5", "1e5", "+", "-" and "e5" pass; "", "1.", " 1" and "0x10" do not.
bool IsNumberText(const std::string& text);

// The hexadecimal floating-point notation in which "float" values written as text are
// stored (the C "%a" form): an optional sign, "0x", hexadecimal digits with an optional
// point, and a binary exponent ("p", an optional sign, decimal digits), which is required.
// "0x1.8p+1", "-0x1p-3" and "0X.8P1" pass; "0x10", "0x1.8" and "0x1p" do not.
bool IsHexFloatText(const std::string& text);

// Standard base64 with padding: groups of four alphabet characters, the last of which may
// end in "==" (two characters) or "=" (three). The empty text passes.
bool IsBase64Text(const std::string& text);

}  // namespace Zelkor
