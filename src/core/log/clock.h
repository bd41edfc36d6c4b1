#pragma once

#include <cstdint>

namespace tavrix {

// Tells the time; what a moment looks like in text is decided where the text is written.
class Clock
{
public:
    virtual ~Clock() = default;
    // Seconds since 1970 (UTC).
    virtual std::int64_t Seconds() = 0;
};

} // namespace tavrix
