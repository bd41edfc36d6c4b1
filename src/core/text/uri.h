#pragma once

#include <string>
#include <string_view>

// The pieces of a "sip:" address that routing needs, cut by plain string search.
namespace tavrix {

// Host of a "sip:" URI (what follows "@", up to a ":"). Strips the caller's text of its
// brackets in place. Empty when the stripped text does not start with "sip:".
std::string GetUriHost(std::string& text);

// Port text of a "sip:" URI (after the first ":" once "sip:" is removed, up to a ";"); without
// a ":" the whole rest, which is no number. Strips the caller's text in place like GetUriHost.
std::string GetUriPort(std::string& text);

// User part: after the first ":" (or from the start without one) up to the next "@".
// Empty when no "@" follows.
std::string GetUriUser(std::string_view text);

} // namespace tavrix
