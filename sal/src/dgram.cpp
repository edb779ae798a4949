#include "sal/dgram.h"

#include <cstring>
#include <utility>

namespace rux {

dgramT::dgramT(void* storage, uint32_t capacity, uint32_t length)
    : _cap(storage ? capacity : 0), _len(storage ? (length < capacity ? length : capacity) : 0),
      _data(static_cast<char*>(storage)), _ext(storage ? 1 : 0) {}

dgramT::dgramT(const dgramT& o) : _cap(o._cap), _len(o._len), _pos(o._pos) {
    if (o._data) {
        // Only the valid bytes are copied; the rest is zeroed, as fresh storage is.
        _data = new char[_cap];
        std::memcpy(_data, o._data, _len);
        std::memset(_data + _len, 0, _cap - _len);
    }
}

dgramT::dgramT(dgramT&& o) noexcept
    : _cap(o._cap), _len(o._len), _pos(o._pos), _data(o._data), _ext(o._ext) {
    o._cap = o._len = o._pos = 0;
    o._data = nullptr;
    o._ext = 0;
}

dgramT& dgramT::operator=(const dgramT& o) {
    if (this != &o) {
        dgramT copy(o);
        swap(copy);
    }
    return *this;
}

dgramT& dgramT::operator=(dgramT&& o) noexcept {
    if (this != &o) {
        _release();
        _cap = o._cap;
        _len = o._len;
        _pos = o._pos;
        _data = o._data;
        _ext = o._ext;
        o._cap = o._len = o._pos = 0;
        o._data = nullptr;
        o._ext = 0;
    }
    return *this;
}

dgramT::~dgramT() {
    _release();
}

void dgramT::_release() {
    if (!_ext)
        delete[] _data;
    _data = nullptr;
    _ext = 0;
}

// Fresh storage is zeroed, so that no byte below the length is ever
// undefined, while bytes put in through buf() survive a later trunc().
char* dgramT::_alloc() const {
    if (!_data && _cap)
        _data = new char[_cap]();
    return _data;
}

void dgramT::_grow(uint32_t newLen) {
    if (newLen > _len) {
        _alloc();
        _len = newLen;
    }
}

uint32_t dgramT::read(void* buffer, uint32_t n) {
    if (_pos >= _len || n == 0)
        return 0;
    uint32_t k = _len - _pos;
    if (n < k)
        k = n;
    std::memcpy(buffer, _data + _pos, k);
    _pos += k;
    return k;
}

uint32_t dgramT::write(const void* buffer, uint32_t n) {
    if (_pos >= _cap || n == 0)
        return 0;
    uint32_t k = _cap - _pos;
    if (n < k)
        k = n;
    _grow(_pos);
    std::memcpy(_alloc() + _pos, buffer, k);
    _pos += k;
    if (_len < _pos)
        _len = _pos;
    return k;
}

long dgramT::seek(long offset, seekT origin) {
    long base;
    switch (origin) {
    case enSEEK_SET:
        base = 0;
        break;
    case enSEEK_CUR:
        base = _pos;
        break;
    case enSEEK_END:
        base = _cap;
        break;
    default:
        return -1;
    }
    // Both terms fit in 33 bits, so the sum cannot overflow a 64-bit long;
    // guard the offset itself first.
    if (offset < -long(_cap) - 1 || offset > long(_cap) + 1)
        return -1;
    long target = base + offset;
    if (target < 0 || target > long(_cap))
        return -1;
    _pos = uint32_t(target);
    _grow(_pos);
    return target;
}

uint32_t dgramT::trunc(uint32_t n) {
    if (_cap == 0)
        return 0;
    _alloc();
    if (n > _cap)
        n = _cap;
    if (n > _len)
        _grow(n);
    else
        _len = n;
    return _len;
}

char* dgramT::buf() {
    return _alloc();
}

const char* dgramT::buf() const {
    return _alloc();
}

void dgramT::swap(dgramT& o) noexcept {
    std::swap(_cap, o._cap);
    std::swap(_len, o._len);
    std::swap(_pos, o._pos);
    std::swap(_data, o._data);
    std::swap(_ext, o._ext);
}

} // namespace rux
