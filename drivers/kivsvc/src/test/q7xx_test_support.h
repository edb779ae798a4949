// Helpers shared by the meter framing tests: report images and a log capture.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rux_logger_xface.h"

namespace q7xxtest {

using bytesT = std::vector<unsigned char>;

// Sum of the first n bytes modulo 256, computed independently of the code
// under test.
inline unsigned char sum8(const bytesT& b, std::size_t n) {
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i)
        s += b[i];
    return static_cast<unsigned char>(s & 0xFF);
}

// A received report of `len` bytes: rid, mid, payload, zero padding and, in the
// last byte, the checksum of the first `covered` bytes.
inline bytesT report(unsigned char rid, unsigned char mid, const bytesT& payload, std::size_t len,
                     std::size_t covered) {
    bytesT r(len, 0);
    r[0] = rid;
    r[1] = mid;
    for (std::size_t i = 0; i < payload.size() && i + 2 < len; ++i)
        r[i + 2] = payload[i];
    r[len - 1] = sum8(r, covered);
    return r;
}

// Collects every line delivered to it.
class captureDevT : public rux::logDevT {
public:
    captureDevT() : rux::logDevT("capture") {}
    void _doLog(const std::string& text, int level) override {
        std::lock_guard<std::mutex> g(_m);
        _lines.push_back(text);
        _levels.push_back(level);
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> g(_m);
        return _lines;
    }
    std::vector<int> levels() const {
        std::lock_guard<std::mutex> g(_m);
        return _levels;
    }

private:
    mutable std::mutex _m;
    std::vector<std::string> _lines;
    std::vector<int> _levels;
};

// Routes log ID "driver" into a capture device, without time stamps, for the
// lifetime of the object.
class driverLogT {
public:
    driverLogT() : _log("driver"), _dev(std::make_shared<captureDevT>()) {
        _log.printTime(false);
        _log.printFunc(true);
        _log.level(rux::log::DUMP);
        _log.setLogDev(_dev);
    }
    ~driverLogT() { _log.resetLogDev(); }
    std::vector<std::string> lines() const { return _dev->lines(); }
    std::vector<int> levels() const { return _dev->levels(); }

private:
    rux::loggerT _log;
    std::shared_ptr<captureDevT> _dev;
};

} // namespace q7xxtest
