#include "tools/NewFeedEncoder.h"

#include "engine/BroadcastLayouts.h"
#include "engine/MarketDataConverter.h"

#include <lz4.h>

static_assert(kMaxDepthRecords == NEW_BCAST_MESSAGE::kMaxDecompressedLength / NEW_DEPTH_RECORD::kSize);

namespace {

template <typename Record, typename Value>
std::vector<uint8_t> EncodeMessage(int16_t transactionCode, const std::vector<Value>& values)
{
    const size_t rawSize = values.size() * Record::kSize;
    if (values.empty() || rawSize > NEW_BCAST_MESSAGE::kMaxDecompressedLength)
        return {};
    std::vector<uint8_t> raw(rawSize, 0);
    for (size_t i = 0; i < values.size(); ++i) EncodeNewRecord(values[i], raw.data() + i * Record::kSize);

    constexpr int kMaxBlock = CMarketDataConverter::kMaxCompressedLength;
    std::vector<uint8_t> message(NEW_BCAST_MESSAGE::kBlockOffset + kMaxBlock, 0);
    const int blockLength =
        LZ4_compress_default(reinterpret_cast<const char*>(raw.data()),
                             reinterpret_cast<char*>(message.data() + NEW_BCAST_MESSAGE::kBlockOffset),
                             static_cast<int>(raw.size()), kMaxBlock);
    if (blockLength <= 0)
        return {};
    NEW_BCAST_MESSAGE::TransactionCode::Set(message.data(), transactionCode);
    NEW_BCAST_MESSAGE::CompressedLength::Set(message.data(), static_cast<int16_t>(blockLength));
    NEW_BCAST_MESSAGE::NoOfRecords::Set(message.data(), static_cast<int16_t>(values.size()));
    message.resize(NEW_BCAST_MESSAGE::kBlockOffset + static_cast<size_t>(blockLength));
    return message;
}

}  // namespace

std::vector<uint8_t> EncodeDepthMessage(const std::vector<DepthQuote>& quotes)
{
    return EncodeMessage<NEW_DEPTH_RECORD>(NEW_BCAST_MESSAGE::kDepthCode, quotes);
}

std::vector<uint8_t> EncodePriceMessage(const std::vector<TickerPrices>& prices)
{
    return EncodeMessage<NEW_TICKER_PRICE_RECORD>(NEW_BCAST_MESSAGE::kTickerPriceCode, prices);
}

std::vector<uint8_t> EncodeOpenInterestMessage(const std::vector<TickerOpenInterest>& values)
{
    return EncodeMessage<NEW_TICKER_OI_RECORD>(NEW_BCAST_MESSAGE::kTickerOpenInterestCode, values);
}
