#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavrix {

// The SIP port, where a URI names none (RFC 3261 19.1.2) and where the proxy listens.
inline constexpr std::uint16_t kSipPort = 5060;
inline constexpr std::uint16_t kSipsPort = 5061; // TLS (RFC 3261 26.2)

// The number at the start of a text: leading blanks, a sign, digits and a decimal fraction.
// A text that is empty or does not start with a number gives 0. Never fails.
double NumericValue(std::string_view text);

// A number put into a 16-bit field: nearest whole number, an exact half to the even
// neighbour; values beyond the range saturate at -32768 / 32767.
std::int16_t ToInt16(double value);

// NumericValue of a text, put into a 16-bit field.
inline std::int16_t NumericValue16(std::string_view text)
{
    return ToInt16(NumericValue(text));
}

// The UDP port a URI's port text stands for: a text of decimal digits only is that number, 0
// (no usable port) when it is 0 or above 65535; any other text, empty or not (a user part
// such as "1002@192.0.2.10"), means the SIP default 5060 (RFC 3261 19.1.2).
std::uint16_t PortFromText(std::string_view text);

// The IPv4 address of a dotted quad written plainly: four decimal parts of 0 to 255 without
// leading zeros, signs or blanks. Any other spelling (hex, octal, spaces, a host name) is none.
std::optional<std::uint32_t> ParseIPv4(std::string_view text);

} // namespace tavrix
