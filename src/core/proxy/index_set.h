#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrix {

// A set of the numbers 0 to size - 1 that finds its lowest member, or the next one above a
// number, in a few word operations: a bitmap with a summary level above it for every 64 words
// below, up to one word.
class IndexSet
{
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // Empty, or holding every number below size when full is true.
    explicit IndexSet(std::size_t size, bool full = false);

    void Insert(std::size_t n);
    void Erase(std::size_t n);
    bool Contains(std::size_t n) const;
    // The lowest member; npos when empty.
    std::size_t First() const { return Next(0); }
    // The lowest member at or above n; npos when there is none.
    std::size_t Next(std::size_t n) const;
    std::size_t Count() const { return m_count; }

private:
    std::vector<std::vector<std::uint64_t>> m_levels; // [0] holds one bit per number
    std::size_t m_size;
    std::size_t m_count = 0;
};

} // namespace tavrix
