#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace tavrix {

inline constexpr std::string_view kCrLf = "\r\n";

// One piece of a concatenation: text as it is, integers in plain decimal.
class Piece
{
public:
    Piece(std::string_view text) : m_view(text) {}
    Piece(const std::string& text) : m_view(text) {}
    Piece(const char* text) : m_view(text) {}
    template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>) Piece(T number)
    {
        char* end = m_digits + sizeof m_digits;
        char* p = end;
        const bool negative = number < 0;
        // Work in the unsigned domain so the most negative value needs no special case.
        unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(number)
                                                : static_cast<unsigned long long>(number);
        do {
            *--p = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (negative) {
            *--p = '-';
        }
        m_view = std::string_view(p, static_cast<std::size_t>(end - p));
    }
    Piece(const Piece&) = delete;
    Piece& operator=(const Piece&) = delete;

    std::string_view view() const { return m_view; }

private:
    char m_digits[24];
    std::string_view m_view;
};

// The pieces joined with nothing between them.
template <typename... Pieces> std::string Cat(const Pieces&... pieces)
{
    const Piece parts[] = {Piece(pieces)...};
    std::size_t size = 0;
    for (const Piece& part : parts) {
        size += part.view().size();
    }
    std::string out;
    out.reserve(size);
    for (const Piece& part : parts) {
        out.append(part.view());
    }
    return out;
}

// The text without leading and trailing space characters (tabs and others stay).
inline std::string_view TrimSpaces(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

} // namespace tavrix
