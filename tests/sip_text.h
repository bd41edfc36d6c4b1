#pragma once

#include <string>
#include <string_view>

namespace tavrix::test {

// A message written with LF line ends, as CR LF text. Shared by the tests and the benchmark.
inline std::string Crlf(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out.push_back('\r');
        }
        out.push_back(c);
    }
    return out;
}

} // namespace tavrix::test
