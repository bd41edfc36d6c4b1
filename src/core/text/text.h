#pragma once

#include <concepts>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace tavrix {

inline constexpr std::string_view kCrLf = "\r\n";

// Appends text as it is.
inline void AppendPiece(std::string& out, std::string_view text)
{
    out.append(text);
}

// Appends an integer in plain decimal, a leading "-" for negatives.
template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void AppendPiece(std::string& out,
                                                                            T number)
{
    char digits[24];
    char* const end = digits + sizeof digits;
    char* p = end;
    // Work in the unsigned domain so the most negative value needs no special case.
    unsigned long long magnitude = number < 0 ? 0ULL - static_cast<unsigned long long>(number)
                                              : static_cast<unsigned long long>(number);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (number < 0) {
        *--p = '-';
    }
    out.append(p, end);
}

// Room a piece takes at most, for reserving before appending.
inline std::size_t PieceSize(std::string_view text)
{
    return text.size();
}
template <std::integral T> constexpr std::size_t PieceSize(T)
{
    return 20;
}

// Appends the pieces one after the other.
template <typename... Pieces> void AppendPieces(std::string& out, const Pieces&... pieces)
{
    if constexpr (sizeof...(Pieces) > 0 &&
                  (std::is_convertible_v<const Pieces&, std::string_view> && ...)) {
        // Texts only (the header lines the proxy writes): the string grows once.
        const std::string_view texts[] = {std::string_view(pieces)...};
        std::size_t at = out.size();
        std::size_t total = at;
        for (const std::string_view text : texts) {
            total += text.size();
        }
        out.resize(total);
        for (const std::string_view text : texts) {
            if (!text.empty()) {
                std::memcpy(out.data() + at, text.data(), text.size());
                at += text.size();
            }
        }
    } else {
        out.reserve(out.size() + (PieceSize(pieces) + ... + 0));
        (AppendPiece(out, pieces), ...);
    }
}

// The pieces joined with nothing between them: text as it is, integers in plain decimal.
template <typename... Pieces> std::string Cat(const Pieces&... pieces)
{
    std::string out;
    AppendPieces(out, pieces...);
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
