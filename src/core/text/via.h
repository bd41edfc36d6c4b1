#pragma once

#include "core/text/uri.h"

#include <optional>
#include <string_view>

namespace tavrix {

// The first value of a Via line (RFC 3261 20.42): "SIP/2.0/UDP host[:port];params". The pieces
// are views of the text given.
struct ViaValue
{
    std::string_view protocol;  // "SIP/2.0/UDP"; empty when the value does not start with one
    std::string_view transport; // "UDP"
    HostPort sentBy;
    std::string_view params; // after the sent-by's ";", up to the end of the first value

    // The value of a parameter ("branch"), names compared without regard to case; an empty
    // view for a parameter without a value ("rport"); none when it is not there.
    std::optional<std::string_view> Param(std::string_view name) const;
};

// Reads the first value of a Via line's value; a value that names no protocol is read from its
// first blank on, as far as it goes.
ViaValue ParseVia(std::string_view value);

// The value of a parameter in a ";"-separated list ("a=1;lr"), names compared without regard to
// case; an empty view for one without a value; none when it is not there.
std::optional<std::string_view> FindParam(std::string_view params, std::string_view name);

} // namespace tavrix
