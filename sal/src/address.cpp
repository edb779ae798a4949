#include "sal/address.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sal/time.h"

namespace rux {

uint32_t ipv4AddressT::to_net() const {
    uint32_t v;
    std::memcpy(&v, _b.data(), 4);
    return v;
}

ipv4AddressT ipv4AddressT::from_net(uint32_t net) {
    std::array<uint8_t, 4> b;
    std::memcpy(b.data(), &net, 4);
    return ipv4AddressT(b);
}

std::string ipv4AddressT::to_string() const {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", _b[0], _b[1], _b[2], _b[3]);
    return text;
}

bool ipv4AddressT::getHostByName(std::vector<ipv4AddressT>& list, const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not per protocol
    addrinfo* res = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0)
        return false;
    size_t before = list.size();
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET)
            continue;
        auto* sin = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
        ipv4AddressT a = from_net(sin->sin_addr.s_addr);
        bool seen = false;
        for (size_t i = before; i < list.size(); ++i)
            seen = seen || list[i] == a;
        if (!seen)
            list.push_back(a);
    }
    ::freeaddrinfo(res);
    return list.size() > before;
}

bool ipv4AddressT::getHostByName(ipv4AddressT& addr, const std::string& name) {
    std::vector<ipv4AddressT> list;
    if (!getHostByName(list, name))
        return false;
    addr = list.front();
    return true;
}

std::string ipv4SockAddrT::to_string() const {
    return _addr.to_string() + ":" + std::to_string(_port);
}

void unixSockAddrT::name(const std::string& n) {
    if (n.size() > maxName)
        throw "socket address name too long";
    _name = n;
    for (char& c : _name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
}

std::atomic<uint32_t> namelessPipeSockAddrT::_id{0};

namelessPipeSockAddrT::namelessPipeSockAddrT() {
    timeT now(monCLK);
    uint32_t us = uint32_t(uint64_t(now.sec) * 1000000u + uint64_t(now.nsec) / 1000u);
    _name = std::to_string(::getpid()) + "_" + std::to_string(us) + "_" +
            std::to_string(_id.fetch_add(1) + 1);
}

std::ostream& operator<<(std::ostream& os, const ipv4AddressT& a) {
    return os << a.to_string();
}

std::ostream& operator<<(std::ostream& os, const ipv4SockAddrT& a) {
    return os << a.to_string();
}

namespace {

// Reads a decimal number of at most `max` from the stream; no sign, no spaces.
bool readNumber(std::istream& is, unsigned long max, unsigned long& out) {
    using traits = std::istream::traits_type;
    std::streambuf* sb = is.rdbuf();
    unsigned long v = 0;
    int digits = 0;
    for (;;) {
        auto c = sb->sgetc();
        if (traits::eq_int_type(c, traits::eof())) {
            is.setstate(std::ios_base::eofbit);
            break;
        }
        char ch = traits::to_char_type(c);
        if (ch < '0' || ch > '9')
            break;
        v = v * 10 + unsigned(ch - '0');
        if (v > max)
            return false;
        ++digits;
        sb->sbumpc();
    }
    out = v;
    return digits > 0;
}

bool readSeparator(std::istream& is, char want) {
    using traits = std::istream::traits_type;
    auto c = is.rdbuf()->sbumpc();
    return !traits::eq_int_type(c, traits::eof()) && traits::to_char_type(c) == want;
}

} // namespace

std::istream& operator>>(std::istream& is, ipv4SockAddrT& a) {
    std::istream::sentry ok(is);
    if (!ok)
        return is;
    std::array<uint8_t, 4> b;
    for (int i = 0; i < 4; ++i) {
        unsigned long v;
        if (!readNumber(is, 255, v) || !readSeparator(is, i < 3 ? '.' : ':')) {
            is.setstate(std::ios_base::failbit);
            return is;
        }
        b[size_t(i)] = uint8_t(v);
    }
    unsigned long port;
    if (!readNumber(is, 65535, port)) {
        is.setstate(std::ios_base::failbit);
        return is;
    }
    a = ipv4SockAddrT(ipv4AddressT(b), uint16_t(port));
    return is;
}

std::ostream& operator<<(std::ostream& os, const unixSockAddrT& a) {
    return os << a.name();
}

std::ostream& operator<<(std::ostream& os, const pipeSockAddrT& a) {
    return os << a.name();
}

std::ostream& operator<<(std::ostream& os, const namelessPipeSockAddrT& a) {
    return os << a.name();
}

} // namespace rux
