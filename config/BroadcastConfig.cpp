#include "config/BroadcastConfig.h"

#include "config/ConfigurationRules.h"
#include "config/FieldList.h"
#include "log/EventLog.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace {

// Enough to tell a row of twelve from a longer one, whatever the row's length.
constexpr size_t kMostFieldsRead = 13;

constexpr const char* kFieldNames[] = {"Config ID", "segment",     "Receiver IP", "Receiver Port", "protocol", "mode",
                                       "Sender IP", "Sender Port", "protocol",    "mode",          "Archive",  "NMKT"};

// The text a field must hold exactly, where only one text is read as written.
const char* RequiredFieldText(size_t field)
{
    switch (field) {
    case 4:
    case 8:
        return "UDP";
    case 5:
    case 9:
        return "MULTICAST";
    default:
        return nullptr;
    }
}

bool IsNumberField(size_t field)
{
    return field == 0 || field == 3 || field == 7;
}

bool IsFlagField(size_t field)
{
    return field == 10 || field == 11;
}

// Digits alone, few enough for an int: the lenient reading takes "30500abc" as 30500 and "-0" as 0.
bool IsWholeNumber(std::string_view text)
{
    int ignored = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ignored);
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) && error == std::errc() &&
           end == text.data() + text.size();
}

}  // namespace

bool ParseConfigurationRow(std::string_view row, KOV_BCAST_CONFIG& configuration, std::string& reason)
{
    const std::vector<std::string> fields = SplitFields(row, ',', kMostFieldsRead);
    if (fields.size() < 11) {
        reason = FormatText("it has %zu fields, at least 11 are needed", fields.size());
        return false;
    }
    KOV_BCAST_CONFIG parsed;
    parsed.ConfigId = ParseDecimal(fields[0]);
    parsed.SegmentCode = fields[1];
    parsed.ReceiveIp = fields[2];
    parsed.ReceivePort = ParseDecimal(fields[3]);
    parsed.SendIp = fields[6];
    parsed.SendPort = ParseDecimal(fields[7]);
    parsed.ArchiveFlag = FlagFromText(fields[10]);
    parsed.NmktFlag = fields.size() == 12 && FlagFromText(fields[11]);

    if (const std::optional<ConfigurationProblem> problem = FindLoadingProblem(parsed)) {
        reason = problem->Message;
        return false;
    }
    configuration = std::move(parsed);
    return true;
}

bool ParseExactConfigurationRow(std::string_view row, KOV_BCAST_CONFIG& configuration, std::string& reason)
{
    if (row.empty() || row.back() != ',') {
        reason = "a row ends with \",\" (text after the last comma would be ignored)";
        return false;
    }
    const auto fieldCount = static_cast<size_t>(std::count(row.begin(), row.end(), ','));
    if (fieldCount != 11 && fieldCount != 12) {
        reason =
            FormatText("it has %zu fields; a row has 12 (or 11, without NMKT), each followed by \",\"", fieldCount);
        return false;
    }
    const std::vector<std::string> fields = SplitFields(row);
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string& field = fields[i];
        const char* required = RequiredFieldText(i);
        if (IsNumberField(i) && !IsWholeNumber(field))
            reason = FormatText("%s \"%s\" is not a whole number", kFieldNames[i], field.c_str());
        else if (IsFlagField(i) && field != "Y" && field != "N")
            reason = FormatText("%s \"%s\" must be Y or N", kFieldNames[i], field.c_str());
        else if (required && field != required)
            reason = FormatText("%s \"%s\" must be %s", kFieldNames[i], field.c_str(), required);
        if (!reason.empty())
            return false;
    }
    return ParseConfigurationRow(row, configuration, reason);
}

int ExactConfigId(std::string_view row)
{
    const std::string_view field = row.substr(0, row.find(','));
    if (field.size() == row.size() || !IsWholeNumber(field))
        return 0;
    const int configId = ParseDecimal(field);
    return configId >= 1 && configId <= kMaxConfigId ? configId : 0;
}

std::string FormatConfigurationRow(const KOV_BCAST_CONFIG& c)
{
    return JoinFields({std::to_string(c.ConfigId), c.SegmentCode, c.ReceiveIp, std::to_string(c.ReceivePort),
                       c.ReceiveProtocol, CastTypeText(c.ReceiveMulticast), c.SendIp, std::to_string(c.SendPort),
                       c.SendProtocol, CastTypeText(c.SendMulticast), FlagText(c.ArchiveFlag), FlagText(c.NmktFlag)});
}

std::array<std::string, 6> ListRowTexts(const KOV_BCAST_CONFIG& c)
{
    return {std::to_string(c.ConfigId),    c.SegmentCode, c.ReceiveIp,
            std::to_string(c.ReceivePort), c.SendIp,      std::to_string(c.SendPort)};
}
