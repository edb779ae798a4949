// Helpers shared by the meter framing tests: report images and a log capture.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rux_logger_xface.h"

namespace q7xxtest {

using bytesT = std::vector<unsigned char>;

// Sum of the first n bytes modulo 256, computed apart from the code under test.
inline unsigned char sum8(const bytesT& b, std::size_t n) {
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i)
        s += b[i];
    return static_cast<unsigned char>(s & 0xFF);
}

// A received report of `len` bytes: ids, payload, zero padding and, in the last
// byte, the checksum of the first `covered` bytes.
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

// Routes log ID "driver" into memory, without time stamps, while it lives.
class driverLogT {
    struct captureDevT : rux::logDevT {
        captureDevT() : rux::logDevT("capture") {}
        void _doLog(const std::string& text, int level) override {
            std::lock_guard<std::mutex> g(m);
            lines.push_back(rux::loggerT::lev2str(level) + ": " + text);
        }
        std::mutex m;
        std::vector<std::string> lines;
    };

public:
    driverLogT() : _log("driver"), _dev(std::make_shared<captureDevT>()) {
        _log.printTime(false);
        _log.level(rux::log::DUMP);
        _log.setLogDev(_dev);
    }
    ~driverLogT() { _log.resetLogDev(); }
    // Each line as "<LEVEL>: <line>".
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> g(_dev->m);
        return _dev->lines;
    }

private:
    rux::loggerT _log;
    std::shared_ptr<captureDevT> _dev;
};

} // namespace q7xxtest
