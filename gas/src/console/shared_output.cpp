#include "gas/console/shared_output.h"

namespace rux {

std::shared_ptr<cliSharedOutputT> cliSharedOutputT::create(std::shared_ptr<cliOutputT> out) {
    return std::make_shared<cliSharedOutputT>(std::move(out));
}

cliSharedOutputT::cliSharedOutputT(std::shared_ptr<cliOutputT> out) : _out(std::move(out)) {}

void cliSharedOutputT::_enter() {
    _lock.lock();
    ++_depth;
}

void cliSharedOutputT::_leave() {
    if (--_depth == 0)
        _release();
    else
        _lock.unlock();
}

void cliSharedOutputT::lock() {
    _enter();
    std::lock_guard<std::mutex> g(_qmtx);
    ++_held;
    _room.notify_all(); // posters waiting for room drop lines from now on
}

void cliSharedOutputT::unlock() {
    {
        std::lock_guard<std::mutex> g(_qmtx);
        --_held;
    }
    _leave();
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
    ++_depth;
    _drain();
    _leave();
}

// The holder checks for posted lines after every outermost release: a line
// posted while the lock was held is then written by the holder or by the
// poster, never lost.
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
        ++_depth;
        _drain();
        --_depth;
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
    heldT g(*this);
    std::lock_guard<std::mutex> q(_qmtx);
    _redraw = std::move(fn);
}

void cliSharedOutputT::flush() {
    heldT g(*this);
    _out->flush();
}

void cliSharedOutputT::rchr(char c) {
    heldT g(*this);
    _out->rchr(c);
    _atBol = c == '\n';
}

void cliSharedOutputT::rtext(const std::string& s) {
    if (s.empty())
        return;
    heldT g(*this);
    _out->rtext(s);
    _atBol = s.back() == '\n';
}

void cliSharedOutputT::push() {
    heldT g(*this);
    _out->push();
}

void cliSharedOutputT::pop() {
    heldT g(*this);
    _out->pop();
}

void cliSharedOutputT::erasel() {
    heldT g(*this);
    _out->erasel();
    _atBol = true;
}

void cliSharedOutputT::erased() {
    heldT g(*this);
    _out->erased();
}

void cliSharedOutputT::erasec() {
    heldT g(*this);
    _out->erasec();
}

void cliSharedOutputT::nl() {
    heldT g(*this);
    _out->nl();
    _atBol = true;
}

void cliSharedOutputT::cup(unsigned n) {
    heldT g(*this);
    _out->cup(n);
}

} // namespace rux
