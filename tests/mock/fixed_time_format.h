#pragma once

#include "app/local_time.h"

#include <string>
#include <utility>

namespace tavrix::test {

// Writes every moment as the same text.
class FixedTimeFormat final : public TimeFormat
{
public:
    explicit FixedTimeFormat(std::string text) : m_text(std::move(text)) {}
    std::string_view Text(std::int64_t) override { return m_text; }

private:
    std::string m_text;
};

} // namespace tavrix::test
