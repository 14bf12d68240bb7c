#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// Stored rows are fields each followed by a separator, the last one included.

// A field is taken only when a separator follows it: "a,,b," gives a, "", b;
// "a,b" gives only a; an empty text gives no field. At most maxFields are
// taken, so that a line of millions of separators costs no more than a row.
[[nodiscard]] std::vector<std::string> SplitFields(std::string_view text, char separator = ',',
                                                   size_t maxFields = SIZE_MAX);
// Every field followed by the separator: {a, b} gives "a,b,".
[[nodiscard]] std::string JoinFields(const std::vector<std::string>& fields, char separator = ',');

// A number read the way atoi reads it: leading blanks, an optional sign and
// the digits that follow; anything else gives 0. Out-of-range values clamp.
[[nodiscard]] int ParseDecimal(std::string_view text);

// The text of a fixed-width, NUL-padded field; a full field without a
// terminator gives all of its bytes.
template <size_t N>
[[nodiscard]] std::string FixedFieldText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}
