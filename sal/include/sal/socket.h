// Sockets over TCP/UDP (IPv4), local names (byte streams and sequenced
// packets), named and anonymous pipes, all exchanging dgramT buffers or byte
// ranges, and all of them pollable together (sal/poller.h).
//
// A socket object is a cheap handle: copies share one connection (a context),
// which is closed when the last handle, pending write and poller entry that
// refers to it is gone. A socket is "closed" until bind, connect or accept gives
// it a context; every operation on a closed socket fails.
//
// Failure: false, or -1 where a count is returned; no exceptions except the
// over-long local name of unixSockAddrT.
//
// Writes never block for long: at most one write is in flight per socket; a
// write that the kernel cannot take at once is finished in the background and
// the next write on the socket waits for it (and fails if it failed). shutdown
// wakes every thread blocked in accept, read, recv or a write wait on that
// socket.
//
// Thread-safety: one thread may read while another writes; concurrent writers
// are serialised. A single handle object must not be rebound (bind, connect,
// accept, close) while another thread uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "sal/address.h"
#include "sal/dgram.h"
#include "sal/time.h"

namespace rux {

namespace impl {
struct socketContextT;
}

// Largest message a local sequenced-packet socket carries: send refuses a
// bigger one (it is never cut). Every local message socket raises its kernel
// send buffer so that a message of this size fits, as far as the system allows
// (net.core.wmem_max, or beyond it with CAP_NET_ADMIN); the stock limit leaves
// room for it.
constexpr uint32_t localMsgMax = 256 * 1024;

struct ipv4OptLingerT {
    bool on = false;
    uint16_t sec = 0;
};

// Idle time before the first probe and between probes: one fifth of `time`.
struct ipv4OptKeepAliveT {
    bool on = false;
    timeT time;
};

struct ipv4OptBroadcastT {
    bool on = false;
};

// Largest UDP payload that datagram sockets send and receive (initially 65507).
void ipv4TuneDgramSz(uint32_t size);
uint32_t ipv4DgramSz();

class socketT {
public:
    socketT() = default;
    virtual ~socketT() = default;
    socketT(const socketT&) = default;
    socketT& operator=(const socketT&) = default;
    socketT(socketT&&) noexcept = default;
    socketT& operator=(socketT&&) noexcept = default;

    // True once bind, connect or accept gave this handle a connection.
    bool isOpen() const { return _ctx != nullptr; }

    // Drops this handle's reference; always true.
    bool close();
    // 2: the sending side, 3: both sides, any other value: the receiving side.
    // Pending operations on the connection are cancelled and their waiters
    // woken. Pipes ignore the direction and succeed.
    bool shutdown(int how);
    // Bytes that can be read now (for message sockets: the size of the next
    // message); 0 when none yet or the peer has closed; -1 on error.
    long avail();
    // The connection's descriptor, for a program that waits on many sockets
    // with an event loop of its own; -1 when closed. The socket keeps owning it,
    // and whoever reads or writes through it bypasses the pending-write state.
    int nativeHandle() const;

    bool name(ipv4SockAddrT& a) const;
    bool peer(ipv4SockAddrT& a) const;
    // For local sockets: the name the connection was made on.
    bool name(unixSockAddrT& a) const;
    bool peer(unixSockAddrT& a) const;
    bool name(pipeSockAddrT& a) const;
    bool peer(pipeSockAddrT& a) const;
    // The connected device's address. The USB HID members here and below come
    // with the HID transport, which defines usbHidSockAddrT and them together;
    // without it no caller can hold a usbHidSockAddrT, so none can call them.
    bool peer(usbHidSockAddrT& a) const;

    bool setOption(const ipv4OptLingerT& o);
    bool setOption(const ipv4OptKeepAliveT& o);
    bool setOption(const ipv4OptBroadcastT& o);
    bool getOption(ipv4OptLingerT& o) const;
    // Gives the on/off flag and a zero time.
    bool getOption(ipv4OptKeepAliveT& o) const;
    bool getOption(ipv4OptBroadcastT& o) const;

    // The shared connection, for transports and the poller.
    const std::shared_ptr<impl::socketContextT>& context() const { return _ctx; }
    void context(std::shared_ptr<impl::socketContextT> ctx) { _ctx = std::move(ctx); }

protected:
    std::shared_ptr<impl::socketContextT> _ctx;
};

class streamSocketT : public socketT {
public:
    // TCP: bind sets the local endpoint for a later connect.
    bool bind(const ipv4SockAddrT& a);
    bool connect(const ipv4SockAddrT& a);
    // Local name or named pipe: connect retries every 100 ms while no server
    // listens, at most 200 attempts. A socket bound to a name serves the first
    // peer that connects to it (a listener serves many: srvSocketT); until
    // then read and write wait for that peer and avail gives 0.
    bool bind(const unixSockAddrT& a);
    bool connect(const unixSockAddrT& a);
    bool bind(const pipeSockAddrT& a);
    bool connect(const pipeSockAddrT& a);
    // Anonymous pipe: the bound socket is the read end, the connected one the
    // write end; both live in this process.
    bool bind(const namelessPipeSockAddrT& a);
    bool connect(const namelessPipeSockAddrT& a);

    // Bytes read (waiting until some arrive), 0 at end of stream, -1 on error.
    long read(void* buffer, long n);
    // n once the write has been issued, -1 on error (or when the previous
    // write failed).
    long write(const void* buffer, long n);
};

class seqSocketT : public socketT {
public:
    bool bind(const unixSockAddrT& a);
    bool connect(const unixSockAddrT& a);
    // One whole message, waiting for it; the buffer is replaced by the message
    // (capacity and length = its size, position 0). An empty message means the
    // peer closed the connection. `from` gets the connection's name.
    bool recv(dgramT& d, unixSockAddrT& from);
    // One message; an unconnected socket first connects to `to` (one attempt).
    // Empty messages are refused: they would read as the end of the connection;
    // so are messages above localMsgMax.
    bool send(const dgramT& d, const unixSockAddrT& to);
    // USB HID transport: one input report / one output report.
    bool recv(dgramT& d, usbHidSockAddrT& from);
    bool send(const dgramT& d, const usbHidSockAddrT& to);
};

class dgramSocketT : public socketT {
public:
    bool bind(const ipv4SockAddrT& a);
    // One datagram and its sender, waiting for it; a datagram larger than
    // ipv4DgramSz() is dropped and fails the call.
    bool recv(dgramT& d, ipv4SockAddrT& from);
    // An unbound socket is opened on an ephemeral port first.
    bool send(const dgramT& d, const ipv4SockAddrT& to);
};

namespace impl {
// Listening-socket operations shared by every srvSocketT<S>. `seq` selects
// sequenced packets over byte streams.
struct srvOpsT {
    static bool bind(socketT& self, const ipv4SockAddrT& a, int backlog, bool seq);
    static bool bind(socketT& self, const unixSockAddrT& a, int backlog, bool seq);
    static bool bind(socketT& self, const usbHidSockAddrT& a, int backlog, bool seq);
    static bool accept(socketT& self, socketT& out, ipv4SockAddrT& peer);
    static bool accept(socketT& self, socketT& out, unixSockAddrT& peer);
    static bool accept(socketT& self, socketT& out, usbHidSockAddrT& peer);
};
} // namespace impl

// A listening socket producing connected sockets of kind S (streamSocketT or
// seqSocketT). accept waits for the next connection; shutdown wakes it.
template <class S> class srvSocketT : public socketT {
    static constexpr bool seq = std::is_base_of_v<seqSocketT, S>;
    static_assert(seq || std::is_base_of_v<streamSocketT, S>,
                  "srvSocketT makes stream or sequenced-packet sockets");

public:
    // TCP listener; stream sockets only.
    bool bind(const ipv4SockAddrT& a, int backlog) {
        return impl::srvOpsT::bind(*this, a, backlog, seq);
    }
    bool bind(const unixSockAddrT& a, int backlog) {
        return impl::srvOpsT::bind(*this, a, backlog, seq);
    }
    // USB HID devices of one vendor and product; sequenced packets only.
    bool bind(const usbHidSockAddrT& a, int backlog) {
        return impl::srvOpsT::bind(*this, a, backlog, seq);
    }
    bool accept(S& out, ipv4SockAddrT& peer) { return impl::srvOpsT::accept(*this, out, peer); }
    bool accept(S& out, unixSockAddrT& peer) { return impl::srvOpsT::accept(*this, out, peer); }
    bool accept(S& out, usbHidSockAddrT& peer) { return impl::srvOpsT::accept(*this, out, peer); }
};

} // namespace rux
