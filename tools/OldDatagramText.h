#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An old-format datagram as readable lines: the prefix and header fields
// on the first line, then one line per record (token, market state, prices,
// net change, open interest) and its filled depth levels. No line end at the end.
[[nodiscard]] std::string DescribeOldDatagram(const uint8_t* datagram, size_t length);
