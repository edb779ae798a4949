// Socket addresses: IPv4 hosts and endpoints, local socket names, named pipes
// and process-unique anonymous pipes.
//
// Plain value types, no locking; namelessPipeSockAddrT draws its names from a
// process-wide atomic counter. unixSockAddrT throws the character string
// "socket address name too long" for a name over maxName characters. The IPv4
// text input sets the stream's failure state on malformed text and then
// leaves the address unchanged.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace rux {

class ipv4AddressT {
public:
    // 0.0.0.0
    ipv4AddressT() = default;
    ipv4AddressT(uint8_t a, uint8_t b, uint8_t c, uint8_t d) : _b{a, b, c, d} {}
    explicit ipv4AddressT(const std::array<uint8_t, 4>& bytes) : _b(bytes) {}

    static ipv4AddressT any() { return ipv4AddressT(); }
    static ipv4AddressT loopback() { return ipv4AddressT(127, 0, 0, 1); }

    // Every IPv4 address of a host name (or dotted text), appended to `list`.
    static bool getHostByName(std::vector<ipv4AddressT>& list, const std::string& name);
    // The first IPv4 address of a host name.
    static bool getHostByName(ipv4AddressT& addr, const std::string& name);

    std::string to_string() const;
    // The four bytes in network order.
    std::array<uint8_t, 4> to_bytes() const { return _b; }
    // The address as a 32-bit value in network byte order (for sockaddr_in).
    uint32_t to_net() const;
    static ipv4AddressT from_net(uint32_t net);

    friend bool operator==(const ipv4AddressT& a, const ipv4AddressT& b) { return a._b == b._b; }
    friend bool operator!=(const ipv4AddressT& a, const ipv4AddressT& b) { return a._b != b._b; }
    friend bool operator<(const ipv4AddressT& a, const ipv4AddressT& b) { return a._b < b._b; }

private:
    std::array<uint8_t, 4> _b{};
};

class ipv4SockAddrT {
public:
    ipv4SockAddrT() = default;
    ipv4SockAddrT(const ipv4AddressT& addr, uint16_t port) : _addr(addr), _port(port) {}

    const ipv4AddressT& address() const { return _addr; }
    uint16_t port() const { return _port; }
    void address(const ipv4AddressT& a) { _addr = a; }
    void port(uint16_t p) { _port = p; }
    // "a.b.c.d:port"
    std::string to_string() const;

    friend bool operator==(const ipv4SockAddrT& a, const ipv4SockAddrT& b) {
        return a._addr == b._addr && a._port == b._port;
    }
    friend bool operator!=(const ipv4SockAddrT& a, const ipv4SockAddrT& b) { return !(a == b); }

private:
    ipv4AddressT _addr;
    uint16_t _port = 0;
};

// A local socket name; case does not matter (kept in lower case). `type` is
// the caller's tag for the kind of endpoint the name stands for; it travels
// with the address and takes part in comparisons but not in the mapping.
class unixSockAddrT {
public:
    static constexpr size_t maxName = 231;

    unixSockAddrT() = default;
    unixSockAddrT(const std::string& name, unsigned type = 0) : _type(type) { this->name(name); }
    unixSockAddrT(const char* name, unsigned type = 0) : unixSockAddrT(std::string(name), type) {}

    const std::string& name() const { return _name; }
    // Throws "socket address name too long" beyond maxName characters.
    void name(const std::string& n);
    unsigned type() const { return _type; }
    void type(unsigned t) { _type = t; }

    friend bool operator==(const unixSockAddrT& a, const unixSockAddrT& b) {
        return a._name == b._name && a._type == b._type;
    }
    friend bool operator!=(const unixSockAddrT& a, const unixSockAddrT& b) { return !(a == b); }

private:
    std::string _name;
    unsigned _type = 0;
};

// A named pipe (a byte stream between processes); kept apart from local
// socket names even when the texts are equal.
class pipeSockAddrT {
public:
    pipeSockAddrT() = default;
    explicit pipeSockAddrT(const std::string& name) : _name(name) {}

    const std::string& name() const { return _name; }
    void name(const std::string& n) { _name = n; }

    friend bool operator==(const pipeSockAddrT& a, const pipeSockAddrT& b) {
        return a._name == b._name;
    }

private:
    std::string _name;
};

// A one-way pipe inside this process: the socket bound to it reads, the one
// connected to it writes. Each new address has a fresh name
// "<pid>_<monotonic microseconds, 32 bits>_<counter>".
class namelessPipeSockAddrT {
public:
    namelessPipeSockAddrT();

    const std::string& name() const { return _name; }

    friend bool operator==(const namelessPipeSockAddrT& a, const namelessPipeSockAddrT& b) {
        return a._name == b._name;
    }

    static std::atomic<uint32_t> _id; // process-wide name counter

private:
    std::string _name;
};

// USB HID device address; defined with the HID transport.
struct usbHidSockAddrT;

std::ostream& operator<<(std::ostream& os, const ipv4AddressT& a);
std::ostream& operator<<(std::ostream& os, const ipv4SockAddrT& a);
// Reads "a.b.c.d:port" (each byte at most 255, port at most 65535).
std::istream& operator>>(std::istream& is, ipv4SockAddrT& a);
std::ostream& operator<<(std::ostream& os, const unixSockAddrT& a);
std::ostream& operator<<(std::ostream& os, const pipeSockAddrT& a);
std::ostream& operator<<(std::ostream& os, const namelessPipeSockAddrT& a);

} // namespace rux
