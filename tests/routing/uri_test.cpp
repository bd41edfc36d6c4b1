#include "routing/uri.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

TEST(UriPieces, HostPortAndUserOfTheAddressForms)
{
    const struct
    {
        const char* address;
        const char* host;
        const char* port;
        const char* user;
        const char* stripped;
    } cases[] = {
        {"<sip:bob@10.0.0.2:5062>", "10.0.0.2", "5062", "bob", "sip:bob@10.0.0.2:5062"},
        {"\"Bob\" <sip:bob@h:5062>;tag=1", "h", "5062", "bob", "sip:bob@h:5062"},
        {"sip:bob@h:5062;transport=udp", "h", "5062", "bob", "sip:bob@h:5062;transport=udp"},
        {"sip:h:5062", "h", "5062", "", "sip:h:5062"},
        {"sip:bob@h", "h", "bob@h", "bob", "sip:bob@h"},
        {"sip:bob@h;lr", "h;lr", "bob@h", "bob", "sip:bob@h;lr"},
        {"sip:bob:secret@h:5062", "h", "secret@h:5062", "bob:secret", "sip:bob:secret@h:5062"},
        {"sips:bob@h:5061", "", "", "bob", "sips:bob@h:5061"},
        {"SIP:bob@h", "", "", "bob", "SIP:bob@h"},
        {"sip:", "", "", "", "sip:"},
        {"sip:@h", "h", "@h", "", "sip:@h"},
        {"\"x:y\" <sip:bob@h>", "h", "bob@h", "y\" <sip:bob", "sip:bob@h"},
    };
    for (const auto& c : cases) {
        std::string forHost = c.address;
        std::string forPort = c.address;
        EXPECT_EQ(GetUriHost(forHost), c.host) << c.address;
        EXPECT_EQ(GetUriPort(forPort), c.port) << c.address;
        EXPECT_EQ(GetUriUser(c.address), c.user) << c.address;
        EXPECT_EQ(forHost, c.stripped) << c.address;
        EXPECT_EQ(forPort, c.stripped) << c.address;
    }
}

} // namespace
} // namespace tavrix
