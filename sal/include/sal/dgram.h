// dgramT: a byte buffer of fixed capacity with a length and one read/write
// position; the unit every message socket and IPC exchange carries.
//
// Writes never go beyond the capacity. Storage is allocated (zeroed) on first
// need and freed with the buffer unless it was handed in from outside
// (external storage). Growing the length by seek or trunc exposes what the
// storage holds there: zeros, or bytes put in through buf(), so "fill buf(),
// then trunc(n)" sets a received length. Copying makes an owned deep copy;
// moving takes the storage and leaves the source empty (capacity 0). Plain value
// type, not thread-safe.
#pragma once

#include <cstdint>

namespace rux {

// Origin of dgramT::seek.
enum seekT { enSEEK_SET = 0, enSEEK_CUR = 1, enSEEK_END = 2 };

class dgramT {
public:
    explicit dgramT(uint32_t capacity = 0) : _cap(capacity) {}
    // Wraps `capacity` bytes owned by the caller, which must outlive the buffer.
    dgramT(void* storage, uint32_t capacity, uint32_t length = 0);
    dgramT(const dgramT& o);
    dgramT(dgramT&& o) noexcept;
    dgramT& operator=(const dgramT& o);
    dgramT& operator=(dgramT&& o) noexcept;
    ~dgramT();

    // Copies min(n, length - position) bytes out; none when position >= length.
    uint32_t read(void* buffer, uint32_t n);
    // Copies min(n, capacity - position) bytes in at the position; the length
    // grows to the new position when it was shorter.
    uint32_t write(const void* buffer, uint32_t n);
    // New position, or -1 (nothing changed) when the target lies below 0 or
    // above the capacity; a target beyond the length extends the length.
    long seek(long offset, seekT origin);
    // Sets the length to min(n, capacity), leaving the position; returns it.
    uint32_t trunc(uint32_t n);

    // The storage, allocated on first use; nullptr for capacity 0.
    char* buf();
    const char* buf() const;

    uint32_t capacity() const { return _cap; }
    uint32_t length() const { return _len; }
    uint32_t position() const { return _pos; }
    bool external() const { return _ext != 0; }
    // True when the storage has been allocated (or handed in).
    bool hasStorage() const { return _data != nullptr; }

    void swap(dgramT& o) noexcept;

private:
    char* _alloc() const;
    void _release();
    void _grow(uint32_t newLen); // raises the length, allocating if needed

    uint32_t _cap = 0;
    uint32_t _len = 0;
    uint32_t _pos = 0;
    mutable char* _data = nullptr; // allocated lazily, even through const access
    uint8_t _ext = 0;              // 1: _data belongs to someone else
};

inline void swap(dgramT& a, dgramT& b) noexcept {
    a.swap(b);
}

} // namespace rux
