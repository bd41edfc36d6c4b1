#pragma once

#include "core/log/clock.h"

#include <cstdint>

namespace tavrix::test {

// A clock that stands still until a test moves it.
class MockClock final : public Clock
{
public:
    std::int64_t Seconds() override { return m_seconds; }
    void Set(std::int64_t seconds) { m_seconds = seconds; }
    void Advance(std::int64_t seconds) { m_seconds += seconds; }

private:
    std::int64_t m_seconds = 1796000000;
};

} // namespace tavrix::test
