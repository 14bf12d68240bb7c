#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The text of one settings key's values file: one value per line as
// name=text, so that an operator can read and edit it with ordinary tools.
// In names and texts a backslash is written "\\", a line feed "\n" and a
// carriage return "\r"; in names "=" is written "\=" and a leading "#" as
// "\#". Empty lines and lines starting with "#" are comments.

struct StoredValue {
    std::string Name;
    std::string Text;
};

struct ParsedValues {
    std::vector<StoredValue> Values;  // in file order
    // Lines that could not be read (no "=", an unknown escape, a NUL byte)
    // and names given twice (the later text wins). Non-zero means the file
    // holds more than Values, so it must not be replaced without a copy.
    size_t DamagedLines = 0;
    size_t FirstDamagedLine = 0;  // its number, from 1; 0 when none is
    bool Stopped = false;         // stopRequested ended the parse: Values hold the first lines only
};

// `stopRequested`, when given, is asked now and then; true ends the parse.
[[nodiscard]] ParsedValues ParseValuesText(std::string_view text, const std::function<bool()>& stopRequested = {});
[[nodiscard]] std::string FormatValuesText(const std::vector<StoredValue>& values);
