// What the end-to-end tests of the USB drivers share: the process's emulation
// directory, a capture of log ID "driver" that can be waited on, and a watch on
// the device database.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "devdb.h"
#include "rux_logger_xface.h"

namespace emutest {

using namespace std::chrono_literals;

// The emulation directory is read once per process: one for all tests, which
// keep apart by using vendor ids of their own.
inline const std::string& emuDir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/kivemu-test-XXXXXX";
        if (!::mkdtemp(tmpl))
            std::abort();
        ::setenv("RUX_HID_EMU_DIR", tmpl, 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(std::getenv("RUX_HID_EMU_DIR"), ec);
        });
        return std::string(tmpl);
    }();
    return dir;
}

inline uint16_t freshVendor() {
    static uint16_t next = 0x7100;
    return next++;
}

// Routes log ID "driver" into memory while it lives, lines as the logger makes them.
class logCaptureT {
    struct devT : rux::logDevT {
        devT() : rux::logDevT("capture") {}
        void _doLog(const std::string& text, int level) override {
            std::lock_guard<std::mutex> g(m);
            (void)level;
            text_ += text;
            cv.notify_all();
        }
        std::mutex m;
        std::condition_variable cv;
        std::string text_;
    };

public:
    logCaptureT() : _log("driver"), _dev(std::make_shared<devT>()) {
        _log.printTime(false);
        _log.printFunc(true);
        _log.level(rux::log::DUMP);
        _log.setLogDev(_dev);
    }
    ~logCaptureT() { _log.resetLogDev(); }
    std::string text() const {
        std::lock_guard<std::mutex> g(_dev->m);
        return _dev->text_;
    }
    // Waits until the captured text holds `what` `count` times.
    bool waitFor(const std::string& what, int count = 1,
                 std::chrono::milliseconds bound = 30000ms) const {
        std::unique_lock<std::mutex> g(_dev->m);
        return _dev->cv.wait_for(g, bound, [&] { return occurrences(_dev->text_, what) >= count; });
    }
    int count(const std::string& what) const { return occurrences(text(), what); }
    static int occurrences(const std::string& text, const std::string& what) {
        int n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

private:
    rux::loggerT _log;
    std::shared_ptr<devT> _dev;
};

// Wakes waiters whenever the device database changes.
class dbWatchT : public observerT, public std::enable_shared_from_this<dbWatchT> {
public:
    void notify(const devdbT&) override {
        std::lock_guard<std::mutex> g(_m);
        ++_changes;
        _cv.notify_all();
    }
    // Waits until `pred` holds for the database's devices.
    bool
    waitFor(const std::function<bool(const std::map<int, std::shared_ptr<const kivDevT>>&)>& pred,
            std::chrono::milliseconds bound = 30000ms) {
        const auto until = std::chrono::steady_clock::now() + bound;
        std::unique_lock<std::mutex> g(_m);
        for (;;) {
            const unsigned seen = _changes;
            g.unlock();
            std::map<int, std::shared_ptr<const kivDevT>> devs;
            {
                devdbT::rdT r;
                r.get(devs);
            }
            if (pred(devs))
                return true;
            g.lock();
            if (!_cv.wait_until(g, until, [&] { return _changes != seen; }))
                return false;
        }
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    unsigned _changes = 0;
};

struct dbWatchGuardT {
    dbWatchGuardT() : watch(std::make_shared<dbWatchT>()) { devdbT::instance()->add(watch); }
    ~dbWatchGuardT() { devdbT::instance()->remove(watch); }
    dbWatchT* operator->() { return watch.get(); }
    std::shared_ptr<dbWatchT> watch;
};

} // namespace emutest
