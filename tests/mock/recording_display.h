#pragma once

#include "core/log/stats.h"

#include <map>
#include <string>
#include <string_view>

namespace tavrix::test {

// The statistics panel's six fields as last shown.
class RecordingDisplay final : public StatsDisplay
{
public:
    void ShowCompletedCalls(std::string_view t) override { fields["CompletedCalls"] = t; }
    void ShowLastRoute(std::string_view t) override { fields["LastRoute"] = t; }
    void ShowErrors(std::string_view t) override { fields["Errors"] = t; }
    void ShowFailedCalls(std::string_view t) override { fields["FailedCalls"] = t; }
    void ShowCallAttempts(std::string_view t) override { fields["CallAttempts"] = t; }
    void ShowRegistrations(std::string_view t) override { fields["Registrations"] = t; }
    std::map<std::string, std::string> fields;
};

} // namespace tavrix::test
