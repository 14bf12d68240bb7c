#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

// "--name value" options and "--name" switches of a command-line tool.
// Reading an option checks it; the first problem is kept for the caller
// to print, so a bad command line never does anything half-way.
class CCommandLine {
public:
    // `switches` are the names that take no value. Arguments that do not
    // start with "--" are operands where `takesOperands`, problems otherwise.
    CCommandLine(int argc, char** argv, std::vector<std::string_view> switches, bool takesOperands = false);

    [[nodiscard]] bool Has(std::string_view name);
    [[nodiscard]] const std::vector<std::string>& Operands() const noexcept { return m_operands; }
    [[nodiscard]] std::string Text(std::string_view name, std::string_view fallback = {});
    // A required option: missing is an error.
    [[nodiscard]] std::string RequiredText(std::string_view name);
    // A whole decimal number in [min, max], or fallback when absent.
    [[nodiscard]] long long Number(std::string_view name, long long fallback, long long min, long long max);
    [[nodiscard]] long long RequiredNumber(std::string_view name, long long min, long long max);
    [[nodiscard]] double Decimal(std::string_view name, double fallback, double min, double max);
    // A comma-separated list of whole numbers in [min, max].
    [[nodiscard]] std::vector<long long> NumberList(std::string_view name, std::string_view fallback, long long min,
                                                    long long max);

    // After every option was read: false (with Error set) on any problem,
    // an unknown option among them.
    [[nodiscard]] bool Valid();
    [[nodiscard]] const std::string& Error() const noexcept { return m_error; }

private:
    void Fail(std::string message);

    std::map<std::string, std::string, std::less<>> m_values;
    std::map<std::string, bool, std::less<>> m_used;
    std::vector<std::string> m_operands;
    std::string m_error;
};

// Answers a lone "--help" with `usage` and a lone "--version" with one line,
// "<program> (ORMA UDP Broadcast Server) <version>", both on standard
// output. True when it answered: the program then ends with status 0.
[[nodiscard]] bool AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* usage);

// Parses a whole decimal number in [min, max]; false for anything else.
[[nodiscard]] bool ParseWholeNumber(std::string_view text, long long min, long long max, long long& value);
