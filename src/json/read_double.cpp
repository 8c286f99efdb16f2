#include "json/read_double.hpp"

#include <cmath>
#include <version>

// The build system tells whether the standard library reads doubles with
// std::from_chars; without it, the library's own feature macro does.
#if !defined(KLOV_HAVE_FROM_CHARS_DOUBLE)
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
#define KLOV_HAVE_FROM_CHARS_DOUBLE 1
#else
#define KLOV_HAVE_FROM_CHARS_DOUBLE 0
#endif
#endif

#if KLOV_HAVE_FROM_CHARS_DOUBLE && !defined(KLOV_PORTABLE)
#define KLOV_READ_WITH_FROM_CHARS 1
#include <charconv>
#else
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <string>
#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#endif

namespace klov::json {

#if defined(KLOV_READ_WITH_FROM_CHARS)

bool read_double(const char* first, const char* last, double& out) {
    double d;
    const auto res = std::from_chars(first, last, d, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != last || !std::isfinite(d)) return false;
    out = d;
    return true;
}

#else

namespace {

#if defined(_WIN32)
using CLocale = _locale_t;
CLocale make_c_locale() { return _create_locale(LC_NUMERIC, "C"); }
double to_double(const char* s, char** end, CLocale c) { return _strtod_l(s, end, c); }
#else
using CLocale = locale_t;
CLocale make_c_locale() { return newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0)); }
double to_double(const char* s, char** end, CLocale c) { return strtod_l(s, end, c); }
#endif

// Made once and kept for the life of the process.
CLocale c_locale() {
    static const CLocale c = make_c_locale();
    return c;
}

}  // namespace

bool read_double(const char* first, const char* last, double& out) {
    // strtod reads a NUL-terminated string.  Literals are short, except for
    // the rare one with hundreds of digits.
    char small[64];
    std::string large;
    const auto n = static_cast<std::size_t>(last - first);
    char* text = small;
    if (n >= sizeof small) {
        large.assign(first, n);
        text = large.data();
    } else {
        for (std::size_t i = 0; i < n; ++i) small[i] = first[i];
        small[n] = '\0';
    }
    const CLocale c = c_locale();
    if (!c) return false;
    errno = 0;
    char* end = nullptr;
    const double d = to_double(text, &end, c);
    if (end != text + n || !std::isfinite(d)) return false;
    // A result of zero with ERANGE is an underflow: the literal is not zero.
    if (d == 0 && errno == ERANGE) return false;
    out = d;
    return true;
}

#endif

}  // namespace klov::json
