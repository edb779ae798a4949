#include "sal/address.h"

#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool parse(const std::string& text, rux::ipv4SockAddrT& a) {
    std::istringstream is(text);
    return bool(is >> a);
}

TEST(Ipv4SockAddrT, ParsesDottedAddressAndPort) {
    rux::ipv4SockAddrT a;
    ASSERT_TRUE(parse("192.168.1.20:2323", a));
    EXPECT_EQ(a.address(), rux::ipv4AddressT(192, 168, 1, 20));
    EXPECT_EQ(a.port(), 2323);
    ASSERT_TRUE(parse("  0.0.0.0:0", a)); // leading space is skipped
    EXPECT_EQ(a, rux::ipv4SockAddrT());
    ASSERT_TRUE(parse("255.255.255.255:65535", a));
    EXPECT_EQ(a.port(), 65535);
}

TEST(Ipv4SockAddrT, RejectsMalformedTextAndKeepsTheAddress) {
    const rux::ipv4SockAddrT before(rux::ipv4AddressT(1, 2, 3, 4), 5);
    for (const char* bad : {"256.1.1.1:80", "1.2.3.4", "1.2.3.4:", "1.2.3:80", "1.2.3.4:65536",
                            "1.2.3.4.80", "a.b.c.d:1", "1..3.4:5", "-1.2.3.4:5", "1.2.3.4:+5", "",
                            "1,2,3,4:5", "99999999999999999999.1.1.1:1"}) {
        rux::ipv4SockAddrT a = before;
        EXPECT_FALSE(parse(bad, a)) << bad;
        EXPECT_EQ(a, before) << bad;
    }
}

TEST(Ipv4SockAddrT, StopsAfterThePort) {
    std::istringstream is("10.0.0.1:23 rest");
    rux::ipv4SockAddrT a;
    ASSERT_TRUE(is >> a);
    std::string rest;
    is >> rest;
    EXPECT_EQ(rest, "rest");
}

TEST(Ipv4SockAddrT, TextRoundTrips) {
    rux::ipv4SockAddrT a(rux::ipv4AddressT(10, 1, 200, 3), 62208);
    std::ostringstream os;
    os << a;
    EXPECT_EQ(os.str(), "10.1.200.3:62208");
    EXPECT_EQ(a.to_string(), os.str());
    rux::ipv4SockAddrT b;
    ASSERT_TRUE(parse(os.str(), b));
    EXPECT_EQ(a, b);
    EXPECT_EQ(rux::ipv4AddressT::from_net(a.address().to_net()), a.address());
}

TEST(UnixSockAddrT, LowerCasesAndLimitsTheName) {
    rux::unixSockAddrT a("Rux_IPCD", 1);
    EXPECT_EQ(a.name(), "rux_ipcd");
    EXPECT_EQ(a.type(), 1u);
    EXPECT_EQ(a, rux::unixSockAddrT("rux_ipcd", 1));
    EXPECT_NE(a, rux::unixSockAddrT("rux_ipcd", 0));
    EXPECT_NO_THROW(rux::unixSockAddrT(std::string(231, 'a')));
    EXPECT_THROW(rux::unixSockAddrT(std::string(232, 'a')), const char*);
    EXPECT_THROW(a.name(std::string(300, 'b')), const char*);
    EXPECT_EQ(a.name(), "rux_ipcd"); // unchanged by the refused name
}

TEST(NamelessPipeSockAddrT, NamesAreUniqueAndCarryThePid) {
    std::set<std::string> names;
    for (int i = 0; i < 100; ++i)
        names.insert(rux::namelessPipeSockAddrT().name());
    EXPECT_EQ(names.size(), 100u);
    std::string n = *names.begin();
    EXPECT_EQ(n.substr(0, n.find('_')), std::to_string(::getpid()));
    EXPECT_EQ(std::count(n.begin(), n.end(), '_'), 2);
}

} // namespace
