#include "tools/CommandLine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

CCommandLine::CCommandLine(int argc, char** argv, std::vector<std::string_view> switches, bool takesOperands)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.size() < 3 || argument.substr(0, 2) != "--") {
            if (takesOperands)
                m_operands.emplace_back(argument);
            else
                Fail("unexpected argument \"" + std::string(argument) + "\"");
            continue;
        }
        const std::string name(argument.substr(2));
        if (m_values.count(name)) {
            Fail("--" + name + " given twice");
            continue;
        }
        if (std::find(switches.begin(), switches.end(), name) != switches.end()) {
            m_values[name] = "";
        } else if (i + 1 < argc) {
            m_values[name] = argv[++i];
        } else {
            Fail("--" + name + " needs a value");
        }
        m_used[name] = false;
    }
}

void CCommandLine::Fail(std::string message)
{
    if (m_error.empty())
        m_error = std::move(message);
}

bool CCommandLine::Has(std::string_view name)
{
    const auto found = m_used.find(name);
    if (found == m_used.end())
        return false;
    found->second = true;
    return true;
}

std::string CCommandLine::Text(std::string_view name, std::string_view fallback)
{
    return Has(name) ? m_values.find(name)->second : std::string(fallback);
}

std::string CCommandLine::RequiredText(std::string_view name)
{
    if (!Has(name))
        Fail("--" + std::string(name) + " is required");
    return Text(name);
}

bool ParseWholeNumber(std::string_view text, long long min, long long max, long long& value)
{
    long long parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || parsed < min || parsed > max)
        return false;
    value = parsed;
    return true;
}

long long CCommandLine::Number(std::string_view name, long long fallback, long long min, long long max)
{
    if (!Has(name))
        return fallback;
    long long value = fallback;
    if (!ParseWholeNumber(Text(name), min, max, value))
        Fail("--" + std::string(name) + " must be a whole number from " + std::to_string(min) + " to " +
             std::to_string(max));
    return value;
}

long long CCommandLine::RequiredNumber(std::string_view name, long long min, long long max)
{
    if (!Has(name))
        Fail("--" + std::string(name) + " is required");
    return Number(name, 0, min, max);
}

double CCommandLine::Decimal(std::string_view name, double fallback, double min, double max)
{
    if (!Has(name))
        return fallback;
    const std::string text = Text(name);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= min && value <= max)) {
        Fail("--" + std::string(name) + " must be a number from " + std::to_string(min) + " to " + std::to_string(max));
        return fallback;
    }
    return value;
}

std::vector<long long> CCommandLine::NumberList(std::string_view name, std::string_view fallback, long long min,
                                                long long max)
{
    const std::string text = Text(name, fallback);
    std::vector<long long> values;
    std::string_view rest = text;
    while (true) {
        const size_t comma = rest.find(',');
        long long value = 0;
        if (!ParseWholeNumber(rest.substr(0, comma), min, max, value)) {
            Fail("--" + std::string(name) + " must be a comma-separated list of whole numbers from " +
                 std::to_string(min) + " to " + std::to_string(max));
            return {};
        }
        values.push_back(value);
        if (comma == std::string_view::npos)
            return values;
        rest.remove_prefix(comma + 1);
    }
}

bool CCommandLine::Valid()
{
    for (const auto& [name, used] : m_used)
        if (!used)
            Fail("unknown option --" + name);
    return m_error.empty();
}

bool AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* usage)
{
    if (argc != 2)
        return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s (ORMA UDP Broadcast Server) %s\n", program, ORMA_VERSION_TEXT);
        return true;
    }
    return false;
}
