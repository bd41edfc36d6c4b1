#include "core/proxy/index_set.h"

namespace tavrix {

namespace {

constexpr std::size_t kBits = 64;

std::uint64_t Bit(std::size_t n)
{
    return std::uint64_t{1} << (n % kBits);
}

} // namespace

IndexSet::IndexSet(std::size_t size, bool full) : m_size(size)
{
    std::size_t bits = size;
    do {
        m_levels.emplace_back((bits + kBits - 1) / kBits, 0);
        bits = m_levels.back().size();
    } while (bits > 1);
    if (full) {
        for (std::size_t n = 0; n < size; ++n) {
            Insert(n);
        }
    }
}

void IndexSet::Insert(std::size_t n)
{
    if (n >= m_size || Contains(n)) {
        return;
    }
    ++m_count;
    for (std::vector<std::uint64_t>& level : m_levels) {
        const bool wasEmpty = level[n / kBits] == 0;
        level[n / kBits] |= Bit(n);
        if (!wasEmpty) {
            return;
        }
        n /= kBits;
    }
}

void IndexSet::Erase(std::size_t n)
{
    if (!Contains(n)) {
        return;
    }
    --m_count;
    for (std::vector<std::uint64_t>& level : m_levels) {
        level[n / kBits] &= ~Bit(n);
        if (level[n / kBits] != 0) {
            return;
        }
        n /= kBits;
    }
}

bool IndexSet::Contains(std::size_t n) const
{
    return n < m_size && (m_levels[0][n / kBits] & Bit(n)) != 0;
}

std::size_t IndexSet::Next(std::size_t n) const
{
    if (n >= m_size) {
        return npos;
    }
    // Climb while the word holding n has nothing at or above it; then descend along the
    // lowest set bits.
    std::size_t level = 0;
    std::size_t at = n;
    for (;;) {
        const std::size_t word = at / kBits;
        if (word >= m_levels[level].size()) {
            return npos;
        }
        const std::uint64_t above = m_levels[level][word] & (~std::uint64_t{0} << (at % kBits));
        if (above != 0) {
            at = word * kBits + static_cast<std::size_t>(__builtin_ctzll(above));
            break;
        }
        if (level + 1 == m_levels.size()) {
            return npos;
        }
        ++level;
        at = word + 1;
    }
    while (level > 0) {
        --level;
        at = at * kBits + static_cast<std::size_t>(__builtin_ctzll(m_levels[level][at]));
    }
    return at;
}

} // namespace tavrix
