#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

// Where the log text lives: the log window's text area, a text in memory, standard output.
// The text may also change behind the logger's back (the operator types into the window);
// Length() reports the text as it is now, so the next write keeps what was typed.
class LogSink
{
public:
    virtual ~LogSink() = default;
    // Makes sure the log text exists; the log window is created hidden if it is not there.
    virtual void Open() = 0;
    // Length of the whole log text in characters (one per byte).
    virtual std::size_t Length() const = 0;
    // Removes the first count characters; more than Length() empties the text.
    virtual void RemoveFront(std::size_t count) = 0;
    // Appends a line at the end and puts the caret after it.
    virtual void Append(std::string_view line) = 0;
};

// The local date and time as log lines carry it: short date, one space, long time.
class Clock
{
public:
    virtual ~Clock() = default;
    // The text stays valid until the next call.
    virtual std::string_view Now() = 0;
    // Seconds since 1970 (UTC), for times that outlive the process.
    virtual std::int64_t Seconds() = 0;
};

} // namespace tavrix
