// Socket internals shared by the transports, the socket classes and the
// poller: the per-connection context, the transport's operation factory, the
// background write and the blocking waits.
//
// Every descriptor is non-blocking; a call that has to wait polls the
// descriptor together with the context's wake object, which shutdown signals.
// The context's mutex guards the pending write, the wake object and the flags;
// I/O runs without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/socket.h>
#include <sys/types.h>

#include "sal/dgram.h"
#include "sal/mutex.h"

namespace rux {
namespace impl {

struct socketContextT;
class opWriteT;

// Results of a non-blocking attempt (counts are >= 0).
constexpr long ioFAIL = -1;  // failed; errno tells why
constexpr long ioAGAIN = -2; // nothing can move now

// An eventfd that becomes readable once, when the operations waiting on it are
// to be cancelled.
struct wakeT {
    wakeT();
    ~wakeT();
    wakeT(const wakeT&) = delete;
    wakeT& operator=(const wakeT&) = delete;
    void signal();
    int fd;
};

// The transport: makes the non-blocking moves on a context's descriptor.
class opFactoryT {
public:
    virtual ~opFactoryT() = default;
    // >= 0 bytes (0: end of stream), ioFAIL or ioAGAIN.
    virtual long readSome(socketContextT& c, void* b, size_t n) = 0;
    virtual long writeSome(socketContextT& c, const void* b, size_t n) = 0;
    // One whole message into `d` (replaced; empty: the peer closed): 1, ioFAIL
    // or ioAGAIN. `from` (may be null) receives the sender.
    virtual long recvMsg(socketContextT& c, dgramT& d, sockaddr_storage* from) = 0;
    // 1, ioFAIL or ioAGAIN; the message goes whole or not at all.
    virtual long sendMsg(socketContextT& c, const dgramT& d, const sockaddr* to,
                         socklen_t toLen) = 0;
    // Bytes readable now, 0 when none (or at the end), -1 on error.
    virtual long avail(socketContextT& c) = 0;
    // 1 (out set), ioFAIL or ioAGAIN. `peer` (may be null) receives the address.
    virtual long accept(socketContextT& c, std::shared_ptr<socketContextT>& out,
                        sockaddr_storage* peer) = 0;
    virtual bool shutdown(socketContextT& c, int how) = 0;
    // The descriptor to poll for reading or writing.
    virtual int pollFd(const socketContextT& c, bool forWrite) const;
};

struct socketContextT {
    enum kindT { enTCP, enUDP, enLOCAL_STREAM, enLOCAL_SEQ, enPIPE, enOTHER };

    socketContextT(int fd, std::shared_ptr<opFactoryT> factory, kindT kind);
    virtual ~socketContextT();
    socketContextT(const socketContextT&) = delete;
    socketContextT& operator=(const socketContextT&) = delete;

    // The current wake object (made on first use); null when none can be made.
    std::shared_ptr<wakeT> wake();
    // Wakes and fails every operation waiting now; later ones proceed.
    void cancel();
    bool isMessage() const { return kind == enLOCAL_SEQ || kind == enUDP; }

    int fd;                              // -1 once closed
    std::shared_ptr<opFactoryT> factory; // the transport
    uint32_t readSize; // grows in whole pages to the largest read seen (under mtx)
    std::shared_ptr<opWriteT> pendingWrite;
    mutexT mtx;
    std::string name; // local sockets: the name the connection was made on
    kindT kind;
    bool listening = false;
    bool connected = false;
    bool shut = false;      // shutdown was called
    bool namedPipe = false; // a local stream socket standing for a named pipe
    bool awaitPeer = false; // bound stream end: listens until its one peer connects
    mutexT writeMtx;        // one writer at a time
    std::string unlinkAt;   // bound local socket file, removed with the context
    dev_t fileDev = 0;      // identity of that file, so a successor's is left alone
    ino_t fileIno = 0;

private:
    std::shared_ptr<wakeT> _wake;
};

using ctxPtrT = std::shared_ptr<socketContextT>;

// A write the kernel could not take at once; finished in the background.
class opWriteT {
public:
    enum stateT { enPENDING, enDONE, enFAILED };

    opWriteT(ctxPtrT ctx, dgramT data, bool message, const sockaddr* to, socklen_t toLen);

    // Moves what it can without waiting; thread-safe.
    stateT progress();
    stateT state();
    // Fails it unless it is done already.
    void cancel();
    int fd() const { return _fd; }

    std::atomic<uint64_t> serial{0}; // registration with the background writer, 0: none

private:
    friend class flusherT;
    mutexT _m;
    ctxPtrT _ctx; // keeps the connection open until the data is out
    dgramT _data; // the rest is from position to length
    bool _message;
    sockaddr_storage _to{};
    socklen_t _toLen = 0;
    int _fd;
    stateT _state = enPENDING;
};

// Waits until the context's descriptor is ready or `w` fires: 1 ready, 0
// time-out, -1 cancelled or failed. ms < 0: no limit.
int waitFor(socketContextT& c, const std::shared_ptr<wakeT>& w, bool forWrite, int ms);

// Waits for the pending write (if any) and clears it; false when it failed or
// the wait was cancelled. Caller holds c.writeMtx.
bool finishPendingWrite(socketContextT& c);

// Stream write: sends what goes now, leaves the rest to the background.
long writeBytes(const ctxPtrT& c, const void* b, long n);
// Message write: now or in the background, whole.
bool sendMessage(const ctxPtrT& c, const dgramT& d, const sockaddr* to, socklen_t toLen);
// Blocking reads; -1 on failure or cancellation.
long readBytes(const ctxPtrT& c, void* b, long n);
bool recvMessage(const ctxPtrT& c, dgramT& d, sockaddr_storage* from);
bool acceptConn(const ctxPtrT& listener, ctxPtrT& out, sockaddr_storage* peer);
// Applies the transport's shutdown and cancels the waiters.
bool shutdownCtx(const ctxPtrT& c, int how);

// A bound local stream end takes its one peer: 1 connected (or not awaiting
// one), 0 none yet (only without `wait`), -1 failed or cancelled.
int takePeer(socketContextT& c, bool wait);

// Grows the read size to hold n bytes in whole pages.
void adaptReadSize(socketContextT& c, size_t n);

// Transports (transport.cpp).
std::shared_ptr<opFactoryT> sockFactory();
std::shared_ptr<opFactoryT> pipeFactory();

// Local names: the runtime directory (made 0700 on first use) and the socket
// file of a name. False when the directory cannot be made or is not ours.
bool runtimeDir(std::string& dir);
bool localPath(const std::string& name, bool pipe, std::string& path);

// Connects a new local socket of `type` (SOCK_STREAM, SOCK_SEQPACKET) to
// `path`; retries while nobody listens or the backlog is full, `attempts`
// times 100 ms apart. -1 on failure.
// With fd >= 0 that (bound, unconnected) socket is used instead of a new one.
int connectLocal(const std::string& path, int type, int attempts, int fd = -1);
// Binds and (when backlog >= 0) listens; replaces a stale socket file.
ctxPtrT bindLocal(const std::string& path, const std::string& name, int type, int backlog);

// Anonymous pipes of this process.
ctxPtrT bindNamelessPipe(const std::string& name);
ctxPtrT connectNamelessPipe(const std::string& name);

} // namespace impl
} // namespace rux
