#include "logger/file_logdev.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace rux {

fileLogDevT::fileLogDevT(const std::string& path, uint64_t maxSize)
    : logDevT(path), _maxSize(maxSize) {
    _open();
}

fileLogDevT::~fileLogDevT() {
    _close();
}

uint64_t fileLogDevT::size() const {
    lockT<mutexT> g(_mtx);
    return _size;
}

bool fileLogDevT::isOpen() const {
    lockT<mutexT> g(_mtx);
    return _fd >= 0;
}

void fileLogDevT::_doLog(const std::string& text, int /*level*/) {
    lockT<mutexT> g(_mtx);
    // An empty file is not rotated: that would only push a useful ".old" out
    // to make room for a line that cannot fit anyway.
    if (_size > 0 && _maxSize < _size + text.size())
        _rotate();
    if (_fd >= 0)
        _write(text.data(), text.size());
}

void fileLogDevT::_open() {
    // O_APPEND keeps lines whole when another process appends to the file too.
    _fd = ::open(name().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    _size = 0;
    if (_fd < 0)
        return;
    off_t end = ::lseek(_fd, 0, SEEK_END);
    if (end < 0) {
        _close();
        return;
    }
    _size = uint64_t(end);
}

void fileLogDevT::_close() {
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}

void fileLogDevT::_rotate() {
    _close();
    std::string old = name() + ".old";
    ::rename(name().c_str(), old.c_str()); // replaces an older ".old"
    _open();
}

void fileLogDevT::_write(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(_fd, p, n);
        if (w <= 0) {
            if (w < 0 && errno == EINTR)
                continue;
            return; // the rest of the line is lost; no progress would spin here
        }
        p += w;
        n -= size_t(w);
        _size += uint64_t(w);
    }
}

} // namespace rux
