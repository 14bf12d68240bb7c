#include "engine/NewFormatRecords.h"

#include "engine/BroadcastLayouts.h"

void EncodeNewRecord(const DepthQuote& quote, uint8_t* record) noexcept
{
    using R = NEW_DEPTH_RECORD;
    R::Token::Set(record, quote.Token);
    R::ValueA::Set(record, quote.ValueA);
    R::LastPrice::Set(record, quote.LastPrice);
    R::ValueB::Set(record, quote.ValueB);
    R::ValueC::Set(record, quote.ValueC);
    R::DoubleD::Set(record, quote.D);
    R::DoubleE::Set(record, quote.E);
    for (int k = 0; k < 24; ++k) R::SetFlag(record, k, (quote.Flags >> k) & 1);
    for (int j = 0; j < R::kLevelCount; ++j) {
        uint8_t* level = record + R::LevelOffset(j);
        R::Level::Value1::Set(level, quote.Levels[j].Value1);
        R::Level::Value2::Set(level, quote.Levels[j].Value2);
        R::Level::Count::Set(level, quote.Levels[j].Count);
    }
}

void EncodeNewRecord(const TickerPrices& prices, uint8_t* record) noexcept
{
    using R = NEW_TICKER_PRICE_RECORD;
    R::Token::Set(record, prices.Token);
    R::OpenPrice::Set(record, prices.OpenPrice);
    R::HighPrice::Set(record, prices.HighPrice);
    R::LowPrice::Set(record, prices.LowPrice);
    R::ClosePrice::Set(record, prices.ClosePrice);
    R::TickerValue5::Set(record, prices.TickerValue5);
    R::TickerValue6::Set(record, prices.TickerValue6);
}

void EncodeNewRecord(const TickerOpenInterest& value, uint8_t* record) noexcept
{
    NEW_TICKER_OI_RECORD::Token::Set(record, value.Token);
    NEW_TICKER_OI_RECORD::OpenInterest::Set(record, value.OpenInterest);
}
