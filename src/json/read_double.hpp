// Decimal text to the nearest double.
#pragma once

namespace klov::json {

// Reads the whole of [first, last), a JSON number literal, as the double
// nearest to its exact value.  False when that double would be infinite or
// when a nonzero literal reads as zero (the caller tells overflow from
// underflow); `out` is then left alone.  Uses std::from_chars where the
// standard library has it for doubles, otherwise the C library's strtod in
// the "C" locale: both round correctly, so the results are the same.
[[nodiscard]] bool read_double(const char* first, const char* last, double& out);

}  // namespace klov::json
