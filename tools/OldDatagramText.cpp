#include "tools/OldDatagramText.h"

#include "engine/BroadcastLayouts.h"

#include <cinttypes>
#include <cstdio>

namespace {

template <typename... Args>
void Append(std::string& text, const char* format, Args... args)
{
    char line[256];
    std::snprintf(line, sizeof line, format, args...);
    text += line;
}

template <typename Record>
void DescribeRecord(const uint8_t* record, std::string& text)
{
    char indicator = Record::NetChangeIndicator::Get(record);
    if (indicator < 0x20 || indicator > 0x7E)
        indicator = '?';
    Append(text,
           "\n  token %" PRId32 "  state %d  last %" PRId32 "  net %c %" PRId32 "  oi %" PRId32 "  close %" PRId32
           "  open %" PRId32 "  high %" PRId32 "  low %" PRId32,
           static_cast<int32_t>(Record::Token::Get(record)), Record::MarketState::Get(record),
           Record::LastPrice::Get(record), indicator, Record::NetChange::Get(record), Record::OpenInterest::Get(record),
           Record::ClosePrice::Get(record), Record::OpenPrice::Get(record), Record::HighPrice::Get(record),
           Record::LowPrice::Get(record));
    Append(text, "\n    A %" PRId32 "  B %" PRId32 "  C %" PRId32 "  D %g  E %g  side %d  flag19 %d",
           Record::ValueA::Get(record), Record::ValueB::Get(record), Record::ValueC::Get(record),
           Record::DoubleD::Get(record), Record::DoubleE::Get(record), Record::SideFlag::Get(record),
           Record::Flag19State::Get(record));
    std::string levels;
    for (int j = 0; j < Record::kLevelCount; ++j) {
        const uint8_t* level = record + Record::LevelOffset(j);
        const int32_t value1 = Record::Level::Value1::Get(level);
        const int32_t value2 = Record::Level::Value2::Get(level);
        const int count = Record::Level::Count::Get(level);
        const int flag = Record::Level::Flag::Get(level);
        if (value1 || value2 || count || flag)
            Append(levels, "  L%d %" PRId32 "@%" PRId32 " n%d f%d", j, value1, value2, count, flag);
    }
    text += "\n    levels" + (levels.empty() ? std::string(" none") : levels);
}

}  // namespace

std::string DescribeOldDatagram(const uint8_t* datagram, size_t length)
{
    std::string text;
    if (length < OLD_BCAST_DATAGRAM::kSize) {
        Append(text, "%zu bytes, not a 512-byte old-format datagram", length);
        return text;
    }
    const uint8_t stream = OLD_BCAST_DATAGRAM::StreamCode::Get(datagram);
    const uint8_t* message = datagram + OLD_BCAST_DATAGRAM::kMessageOffset;
    const uint8_t* header = message + OLD_DEPTH_MESSAGE::kHeaderOffset;
    const int code = OLD_BCAST_HEADER::TransactionCode::Get(header);
    const int records = OLD_DEPTH_MESSAGE::NoOfRecords::Get(message);
    Append(text, "stream %u  code %d  length %d  records %d", stream, code,
           OLD_BCAST_HEADER::MessageLength::Get(header), records);
    if (length != OLD_BCAST_DATAGRAM::kSize)
        Append(text, "  (%zu bytes)", length);
    if (code != OLD_BCAST_HEADER::kDepthCode || !StreamCarriesMessage(stream)) {
        text += "  (no depth message)";
        return text;
    }
    const uint8_t* first = message + OLD_DEPTH_MESSAGE::kRecordsOffset;
    for (int i = 0; i < records && i < OLD_DEPTH_MESSAGE::kMaxRecords; ++i) {
        if (stream == kQaStreamCode)
            DescribeRecord<OLD_DEPTH_RECORD_QA>(first + i * OLD_DEPTH_RECORD_QA::kSize, text);
        else
            DescribeRecord<OLD_DEPTH_RECORD>(first + i * OLD_DEPTH_RECORD::kSize, text);
    }
    return text;
}
