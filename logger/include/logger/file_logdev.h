// fileLogDevT: appends lines to a file of bounded size, keeping one previous
// generation under the same path with ".old" appended.
//
// The file is opened (created with mode 0600 if missing) when the device is
// made; a device whose file cannot be opened drops its lines silently. Before a
// line would take the file beyond the maximum size, the file is renamed to
// ".old" (replacing an older one) and a fresh file is started. Partial and
// interrupted writes are resumed; any other write error drops the rest of the
// line. Thread-safe: deliveries are serialised by the device's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "logger/logdev.h"
#include "sal/mutex.h"

namespace rux {

class fileLogDevT : public logDevT {
public:
    // The device is named after `path`.
    fileLogDevT(const std::string& path, uint64_t maxSize);
    ~fileLogDevT() override;

    void _doLog(const std::string& text, int level) override;

    uint64_t maxSize() const { return _maxSize; }
    // Bytes in the current generation (as far as this device knows).
    uint64_t size() const;
    // False while the file could not be opened.
    bool isOpen() const;

private:
    void _open();
    void _close();
    void _rotate();
    void _write(const char* p, size_t n);

    const uint64_t _maxSize;
    uint64_t _size = 0; // bytes in the current generation
    int _fd = -1;       // -1: closed, lines are dropped
    mutable mutexT _mtx;
};

} // namespace rux
