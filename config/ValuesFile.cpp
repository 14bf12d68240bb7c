#include "config/ValuesFile.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace {

constexpr std::string_view kHeader =
    "# One value per line: name=text. \"\\\\\" is a backslash, \"\\n\" a line break.\n";

void AppendEscaped(std::string& out, std::string_view text, bool isName)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '=':
            out += isName ? "\\=" : "=";
            break;
        case '#':
            out += isName && i == 0 ? "\\#" : "#";
            break;
        default:
            out += c;
        }
    }
}

// The text of an escaped field; nothing when it holds an unknown escape or a NUL.
std::optional<std::string> Unescape(std::string_view field)
{
    std::string text;
    text.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\0')
            return std::nullopt;
        if (field[i] != '\\') {
            text += field[i];
            continue;
        }
        if (++i == field.size())
            return std::nullopt;
        switch (field[i]) {
        case '\\':
            text += '\\';
            break;
        case 'n':
            text += '\n';
            break;
        case 'r':
            text += '\r';
            break;
        case '=':
            text += '=';
            break;
        case '#':
            text += '#';
            break;
        default:
            return std::nullopt;
        }
    }
    return text;
}

// Position of the first "=" that is not escaped.
size_t FindSeparator(std::string_view line)
{
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\')
            ++i;
        else if (line[i] == '=')
            return i;
    }
    return std::string_view::npos;
}

}  // namespace

ParsedValues ParseValuesText(std::string_view text, const std::function<bool()>& stopRequested)
{
    ParsedValues parsed;
    // Sized once: growing the table a million values long costs more than
    // filling it. Not beyond that, so that lines holding no value (a file of
    // line breaks) cannot make it reserve more than the values could fill.
    constexpr size_t kMostReserved = size_t{1} << 20;
    const size_t lines = std::min(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1, kMostReserved);
    parsed.Values.reserve(lines);
    std::unordered_map<std::string, size_t> positions(lines);
    const auto damaged = [&parsed](size_t lineNumber) {
        if (parsed.DamagedLines++ == 0)
            parsed.FirstDamagedLine = lineNumber;
    };
    for (size_t lineNumber = 1; !text.empty(); ++lineNumber) {
        if (stopRequested && lineNumber % 65536 == 0 && stopRequested()) {
            parsed.Stopped = true;
            return parsed;
        }
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        // Line ends written by an editor on another system.
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;

        const size_t separator = FindSeparator(line);
        std::optional<std::string> name, value;
        if (separator != std::string_view::npos) {
            name = Unescape(line.substr(0, separator));
            value = Unescape(line.substr(separator + 1));
        }
        if (!name || !value) {
            damaged(lineNumber);
            continue;
        }
        const auto [position, added] = positions.try_emplace(*name, parsed.Values.size());
        if (added) {
            parsed.Values.push_back({std::move(*name), std::move(*value)});
        } else {
            parsed.Values[position->second].Text = std::move(*value);
            damaged(lineNumber);
        }
    }
    return parsed;
}

std::string FormatValuesText(const std::vector<StoredValue>& values)
{
    std::string text(kHeader);
    for (const StoredValue& value : values) {
        AppendEscaped(text, value.Name, true);
        text += '=';
        AppendEscaped(text, value.Text, false);
        text += '\n';
    }
    return text;
}
