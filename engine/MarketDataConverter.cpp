#include "engine/MarketDataConverter.h"

CMarketDataConverter::CMarketDataConverter() = default;

void CMarketDataConverter::ProcessNewMarketData(const uint8_t*, const char*, COldDatagramSink&)
{
}
