#include "console/Ipv4Octets.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr int kOctetMaximum = 255;
constexpr size_t kOctetDigits = 3;

bool IsDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

std::string AddressFromOctets(const OctetTexts& octets)
{
    if (std::all_of(octets.begin(), octets.end(), [](const std::string& octet) { return octet.empty(); }))
        return "0.0.0.0";
    std::string address;
    for (const std::string& octet : octets) {
        if (!IsDigits(octet) || octet.size() > kOctetDigits || std::stoi(octet) > kOctetMaximum)
            return {};
        if (!address.empty())
            address += '.';
        address += std::to_string(std::stoi(octet));
    }
    return address;
}

OctetTexts OctetsFromText(std::string_view text)
{
    OctetTexts octets;
    for (std::string& octet : octets) {
        const size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (IsDigits(part) && part.size() <= kOctetDigits)
            octet = part;
        if (dot == std::string_view::npos)
            break;
        text.remove_prefix(dot + 1);
    }
    return octets;
}
