#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A market segment: feeds the Market Segment box and carries a sending port.
struct KOV_SEGMENT_INFO {
    int SegmentIndex = 0;
    char SegmentName[5] = {};  // at most 4 characters and the terminator
    int DefaultPort = 0;
};
static_assert(sizeof(KOV_SEGMENT_INFO) == 16 && alignof(KOV_SEGMENT_INFO) == 4);

// Segments held but never offered in the Market Segment box.
[[nodiscard]] bool IsOfferedSegment(std::string_view name);

// Reads a SegmentRow: the name from field 1, the port from field 5 (0 when
// empty). A row that cannot be used (fewer than six fields, an empty name,
// a name longer than 4 characters) gives false and says why in `reason`.
[[nodiscard]] bool ParseSegmentRow(std::string_view row, std::string& name, int& defaultPort, std::string& reason);
// Index, name, three empty fields and the port, each followed by ",".
[[nodiscard]] std::string FormatSegmentRow(const KOV_SEGMENT_INFO& segment);

// The segment records, slot i holding the segment whose SegmentIndex is i.
// Records are built only from stored rows, never removed, and keep their
// address while the table lives.
class CSegmentTable {
public:
    // SegmentCounter: the number of segments built so far, so the next
    // SegmentIndex; stored as "Segment Count".
    [[nodiscard]] int SegmentCounter() const noexcept { return static_cast<int>(m_segments.size()); }

    // Builds a record from a SegmentRow with the next index (the index
    // written in the row is not read). Null, with the reason, when the row
    // cannot be used; the counter then stays.
    const KOV_SEGMENT_INFO* AddFromRow(std::string_view row, std::string& reason);

    // Null when no segment has that index or name.
    [[nodiscard]] const KOV_SEGMENT_INFO* At(int index) const noexcept;
    [[nodiscard]] const KOV_SEGMENT_INFO* FindByName(std::string_view name) const noexcept;

private:
    std::vector<std::unique_ptr<KOV_SEGMENT_INFO>> m_segments;
};
