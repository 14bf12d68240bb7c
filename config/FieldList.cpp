#include "config/FieldList.h"

#include <cctype>
#include <climits>

std::vector<std::string> SplitFields(std::string_view text, char separator, size_t maxFields)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t end = text.find(separator); end != std::string_view::npos && fields.size() < maxFields;
         end = text.find(separator, start)) {
        fields.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

std::string JoinFields(const std::vector<std::string>& fields, char separator)
{
    std::string text;
    for (const std::string& field : fields) {
        text += field;
        text += separator;
    }
    return text;
}

int ParseDecimal(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            break;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}
