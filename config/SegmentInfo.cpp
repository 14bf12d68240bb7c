#include "config/SegmentInfo.h"

#include "config/BroadcastConfig.h"
#include "config/FieldList.h"
#include "log/EventLog.h"

#include <cstring>

bool IsOfferedSegment(std::string_view name)
{
    return name != "QHO" && name != "QFXD" && name != "QGMS";
}

bool ParseSegmentRow(std::string_view row, std::string& name, int& defaultPort, std::string& reason)
{
    const std::vector<std::string> fields = SplitFields(row, ',', 6);
    if (fields.size() < 6) {
        reason = FormatText("it has %zu fields, at least 6 are needed", fields.size());
        return false;
    }
    if (fields[1].empty()) {
        reason = "its segment name is empty";
        return false;
    }
    if (fields[1].size() > kMaxSegmentCodeLength) {
        reason = FormatText("segment \"%s\" is longer than %zu characters", fields[1].c_str(), kMaxSegmentCodeLength);
        return false;
    }
    name = fields[1];
    defaultPort = ParseDecimal(fields[5]);
    return true;
}

std::string FormatSegmentRow(const KOV_SEGMENT_INFO& segment)
{
    return JoinFields({std::to_string(segment.SegmentIndex), FixedFieldText(segment.SegmentName), "", "", "",
                       std::to_string(segment.DefaultPort)});
}

const KOV_SEGMENT_INFO* CSegmentTable::AddFromRow(std::string_view row, std::string& reason)
{
    std::string name;
    int defaultPort = 0;
    if (!ParseSegmentRow(row, name, defaultPort, reason))
        return nullptr;
    auto segment = std::make_unique<KOV_SEGMENT_INFO>();
    segment->SegmentIndex = SegmentCounter();
    std::memcpy(segment->SegmentName, name.data(), name.size());
    segment->DefaultPort = defaultPort;
    return m_segments.emplace_back(std::move(segment)).get();
}

const KOV_SEGMENT_INFO* CSegmentTable::At(int index) const noexcept
{
    if (index < 0 || index >= SegmentCounter())
        return nullptr;
    return m_segments[static_cast<size_t>(index)].get();
}

const KOV_SEGMENT_INFO* CSegmentTable::FindByName(std::string_view name) const noexcept
{
    for (const auto& segment : m_segments) {
        if (name == FixedFieldText(segment->SegmentName))
            return segment.get();
    }
    return nullptr;
}
