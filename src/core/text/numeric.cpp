#include "core/text/numeric.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavrix {

double NumericValue(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Beyond this the value saturates anyway; stop growing so no digit count can overflow.
    constexpr double kHuge = 1e18;
    double value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < kHuge) {
            value = value * 10 + (text[i] - '0');
        }
    }
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            value += (text[i] - '0') * scale;
            scale /= 10;
        }
    }
    return negative ? -value : value;
}

std::int16_t ToInt16(double value)
{
    constexpr double kMin = std::numeric_limits<std::int16_t>::min();
    constexpr double kMax = std::numeric_limits<std::int16_t>::max();
    if (std::isnan(value)) {
        return 0;
    }
    // nearbyint rounds half to even under the default rounding mode.
    const double rounded = std::nearbyint(value);
    if (rounded <= kMin) {
        return std::numeric_limits<std::int16_t>::min();
    }
    if (rounded >= kMax) {
        return std::numeric_limits<std::int16_t>::max();
    }
    return static_cast<std::int16_t>(rounded);
}

std::uint16_t PortFromText(std::string_view text)
{
    if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
        return kSipPort;
    }
    unsigned long port = 0;
    for (const char digit : text) {
        port = std::min(port * 10 + static_cast<unsigned long>(digit - '0'), 65536UL);
    }
    return port > 65535 ? 0 : static_cast<std::uint16_t>(port);
}

std::optional<std::uint32_t> ParseIPv4(std::string_view text)
{
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text.front() == '0')) {
            return std::nullopt;
        }
        address = (address << 8) | value;
        text.remove_prefix(digits);
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    return address;
}

} // namespace tavrix
