#include "core/CLocaleNumber.h"

#include <locale.h>
#include <stdlib.h>

namespace Zelkor {

namespace {

// Made once and never changed.
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

double StrtodC(const char* text, char** end) {
    const locale_t locale = cLocale();
    return locale != static_cast<locale_t>(0) ? strtod_l(text, end, locale) : strtod(text, end);
}

long long StrtollC(const char* text, char** end, int base) {
    const locale_t locale = cLocale();
    return locale != static_cast<locale_t>(0) ? strtoll_l(text, end, base, locale) : strtoll(text, end, base);
}

}  // namespace Zelkor
