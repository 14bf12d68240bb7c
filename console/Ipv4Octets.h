#pragma once

// The rule of an IP address box, apart from the widget: how its four octet
// fields make an address, and how a dotted text fills them.
#include <array>
#include <string>
#include <string_view>

using OctetTexts = std::array<std::string, 4>;

// The address the octets make: "0.0.0.0" when all four are empty (a blank
// box), the dotted address when each holds 0 to 255 (leading zeros
// dropped), and an empty text otherwise: an empty octet beside filled ones,
// or one above 255, is no address, never a 0 or a 255.
[[nodiscard]] std::string AddressFromOctets(const OctetTexts& octets);

// The octets of a dotted text, stored or pasted: its first four parts, each
// kept when it is one to three digits, else empty.
[[nodiscard]] OctetTexts OctetsFromText(std::string_view text);
