#pragma once
// Numbers on the wire and in stored trees always carry a decimal point, whatever locale
// the application set; these conversions read them in the "C" locale.
// Stateless; safe from any thread.

namespace Zelkor {

// strtod in the "C" locale: the same result, `end` and errno.
double StrtodC(const char* text, char** end);
// strtoll in the "C" locale.
long long StrtollC(const char* text, char** end, int base);

}  // namespace Zelkor
