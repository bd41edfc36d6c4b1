#pragma once

#include "core/log/clock.h"

#include <QDateTime>

namespace tavrix {

// The host's clock.
class SystemClock final : public Clock
{
public:
    std::int64_t Seconds() override { return QDateTime::currentSecsSinceEpoch(); }
};

} // namespace tavrix
