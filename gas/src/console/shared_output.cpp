#include "gas/console/shared_output.h"

namespace rux {

std::shared_ptr<cliSharedOutputT> cliSharedOutputT::create(std::shared_ptr<cliOutputT> out) {
    return std::make_shared<cliSharedOutputT>(std::move(out));
}

cliSharedOutputT::cliSharedOutputT(std::shared_ptr<cliOutputT> out) : _out(std::move(out)) {}

void cliSharedOutputT::lock() {
    _lock.lock();
    std::lock_guard<std::mutex> g(_qmtx);
    ++_held;
    _room.notify_all(); // posters waiting for room drop lines from now on
}

void cliSharedOutputT::unlock() {
    {
        std::lock_guard<std::mutex> g(_qmtx);
        --_held;
    }
    _release();
}

void cliSharedOutputT::post(const std::string& line) {
    {
        std::unique_lock<std::mutex> g(_qmtx);
        // A poster writing the queue makes room and never waits for us; a
        // session might (through a full log queue), so then we drop instead.
        _room.wait(g, [&] { return _pending.size() < maxPending || !_draining || _held; });
        if (_pending.size() >= maxPending) {
            _pending.pop_front();
            ++_dropped;
        }
        _pending.push_back(line);
    }
    // Whoever holds the lock writes it when releasing; the holder may also be
    // this thread (a command that logs), which then writes it right away.
    if (!_lock.trylock())
        return;
    _drain();
    _release();
}

// The holder checks for posted lines after every release: a line posted while
// the lock was held is then written by the holder or by the poster, never lost.
void cliSharedOutputT::_release() {
    for (;;) {
        _lock.unlock();
        {
            std::lock_guard<std::mutex> g(_qmtx);
            if (_pending.empty())
                return;
        }
        if (!_lock.trylock())
            return;
        _drain();
    }
}

void cliSharedOutputT::_drain() {
    bool first = true;
    bool between = false; // written between the session's operations
    for (;;) {
        std::string line;
        std::size_t dropped;
        {
            std::lock_guard<std::mutex> g(_qmtx);
            _draining = !_pending.empty() && _held == 0;
            if (_pending.empty())
                break;
            line = std::move(_pending.front());
            _pending.pop_front();
            dropped = _dropped;
            _dropped = 0;
            _room.notify_all();
            if (first)
                between = _held == 0 && _redraw;
        }
        if (first) {
            // The prompt line gives way to the lines and is drawn again below
            // them; inside an operation the lines start on a line of their own.
            if (between)
                erasel();
            else if (!_atBol)
                nl();
            first = false;
        }
        if (dropped)
            text("... " + std::to_string(dropped) + " log lines dropped\n");
        text(line);
        if (!_atBol)
            nl();
        flush();
    }
    if (between) {
        _redraw();
        flush();
    }
}

void cliSharedOutputT::redraw(std::function<void()> fn) {
    lockT<mutexT> g(_lock);
    std::lock_guard<std::mutex> q(_qmtx);
    _redraw = std::move(fn);
}

void cliSharedOutputT::flush() {
    lockT<mutexT> g(_lock);
    _out->flush();
}

void cliSharedOutputT::rchr(char c) {
    lockT<mutexT> g(_lock);
    _out->rchr(c);
    _atBol = c == '\n';
}

void cliSharedOutputT::rtext(const std::string& s) {
    if (s.empty())
        return;
    lockT<mutexT> g(_lock);
    _out->rtext(s);
    _atBol = s.back() == '\n';
}

void cliSharedOutputT::push() {
    lockT<mutexT> g(_lock);
    _out->push();
}

void cliSharedOutputT::pop() {
    lockT<mutexT> g(_lock);
    _out->pop();
}

void cliSharedOutputT::erasel() {
    lockT<mutexT> g(_lock);
    _out->erasel();
    _atBol = true;
}

void cliSharedOutputT::erased() {
    lockT<mutexT> g(_lock);
    _out->erased();
}

void cliSharedOutputT::erasec() {
    lockT<mutexT> g(_lock);
    _out->erasec();
}

void cliSharedOutputT::nl() {
    lockT<mutexT> g(_lock);
    _out->nl();
    _atBol = true;
}

void cliSharedOutputT::cup(unsigned n) {
    lockT<mutexT> g(_lock);
    _out->cup(n);
}

} // namespace rux
