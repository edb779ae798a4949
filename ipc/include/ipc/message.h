// ipcMessageT: one IPC user message, a datagram holding the 21-byte header and
// the payload behind it.
//
// Every operation works on the payload: offsets, sizes and the read/write
// position count from the first payload byte, and the header stays out of the
// caller's sight (priority and reply state excepted). The capacity is fixed at
// creation; writes stop there, as in rux::dgramT. Messages travel as exclusively
// owned objects (std::unique_ptr): one owner, no locking.
//
// Failure: create() gives an empty pointer for a size above maxPayload or for a
// received datagram that does not hold a valid header or is larger than
// localMsgMax; read/write/seek give -1.
// The constructor asserts on a size above maxPayload (a programming error).
//
// ioT is an unbuffered iostream over a message (one byte of look-ahead; only the
// byte last read can be put back), through which protocol-buffer messages are parsed from and
// serialised into the payload. The message must outlive the stream.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>

#include "ipc/prio.h"
#include "ipc/wire.h"
#include "sal/devbuf.h"
#include "sal/dgram.h"
#include "sal/mutex.h"
#include "sal/socket.h"

namespace rux {

class ipcMessageT {
public:
    using prioT = impl::ipcPrioT;
    class ioT;

    // Largest payload a message may hold: the datagram, header included, is at
    // most the largest local message the socket layer carries (localMsgMax).
    static constexpr unsigned long maxPayload = localMsgMax - impl::ipcHeaderT::size;

    // Empty user message (kind 0, ids 0) with room for `size` payload bytes.
    ipcMessageT(unsigned long size, prioT prio);
    ipcMessageT(const ipcMessageT& o) = default;
    ipcMessageT& operator=(const ipcMessageT& o) = default;

    static std::unique_ptr<ipcMessageT> create(unsigned long size, prioT prio);
    // Takes a received datagram, header included; position at the payload start.
    static std::unique_ptr<ipcMessageT> create(dgramT&& raw);

    // Replaces the whole datagram (position at the payload start); false, and
    // nothing changed, when `raw` holds no valid header.
    bool setRaw(dgramT&& raw);
    std::unique_ptr<ipcMessageT> clone() const;

    prioT priority() const;
    void priority(const prioT& prio);

    // A new message answering this one: kind 0, priority 2, reply set, ivkId and
    // syncFwd copied. Empty for a size above maxPayload.
    std::unique_ptr<ipcMessageT> reply(unsigned long size) const;
    // True when the sender waits for an answer (ivkId not 0).
    bool wantReply() const;

    // whence 0: from the payload start, 1: from the position, 2: from the end of
    // the capacity. The target must lie within [0, maxSize()]; beyond the
    // current size it extends the size. New offset, or -1 (position unchanged).
    long seek(long off, seekT whence);
    // At the position, as dgramT does; the count, or -1 for a negative count.
    long read(char* buffer, long n);
    long write(const char* buffer, long n);
    int sync() { return 0; }

    // First payload byte (storage made on first use).
    char* buf();
    const char* buf() const;

    // Sets the payload length; false (nothing changed) above maxSize().
    bool setSize(unsigned long n);
    unsigned long currSize() const;
    unsigned long maxSize() const;

    // Library internals: the header and the datagram as they travel.
    impl::ipcHeaderT _header() const;
    void _header(const impl::ipcHeaderT& hdr);
    const dgramT& _dgram() const { return _raw; }
    dgramT& _dgram() { return _raw; }

private:
    explicit ipcMessageT(dgramT&& raw) : _raw(std::move(raw)) {}
    // Grows the datagram length to `len`, keeping the bytes already there.
    void _extend(uint32_t len);

    dgramT _raw; // header and payload
};

class ipcMessageT::ioT : public std::iostream {
public:
    // The unbuffered device buffer, narrowed to one byte of put-back: only the
    // byte last read goes back, once, and a write or a seek forgets it.
    class bufT : public devbufT<ipcMessageT, 0, dummyMutexT, ipcMessageT*> {
    public:
        explicit bufT(ipcMessageT* msg) : devbufT(msg) {}

    protected:
        int_type underflow() override;
        int_type uflow() override;
        int_type pbackfail(int_type c) override;
        std::streamsize xsgetn(char* s, std::streamsize n) override;
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                         std::ios_base::openmode which) override;

    private:
        // Steps the message back over a pending look-ahead byte.
        void _dropAhead();

        int_type _ahead = traits::eof(); // read from the message, not yet taken
        int_type _last = traits::eof();  // taken last and still free to go back
    };

    explicit ioT(ipcMessageT& msg) : ioT(&msg) {}
    explicit ioT(ipcMessageT* msg) : std::iostream(nullptr), _buf(msg) {
        RUX_FAULT_IF(msg == nullptr);
        rdbuf(&_buf);
    }
    ioT(const ioT&) = delete;
    ioT& operator=(const ioT&) = delete;

private:
    bufT _buf;
};

} // namespace rux
