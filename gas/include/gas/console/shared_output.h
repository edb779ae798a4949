// cliSharedOutputT: one console output shared by the session that edits on it
// and by writers from other threads (log lines).
//
// Console outputs are not thread-safe. This output forwards every operation to
// the output it wraps under its own recursive lock, and offers that lock to a
// session so that a whole key operation (echo, command output, prompt) is
// written without interruption. Lines posted by other threads never wait for
// the session: they are queued and written by whichever thread holds or next
// releases the lock. While a session holds it, a full queue (maxPending) drops
// its oldest line (counted in a notice line), so neither the program's threads
// stall behind an operator's command nor a session that logs deadlocks with a
// poster; while another poster writes the queue, a full queue makes posters
// wait for room.
// Ownership: shares the wrapped output.
// Thread-safety: the virtual operations and post() may be called from any
// thread; the cooked writers of cliOutputT (chr, text, print) keep state of
// their own, so call them while holding lock().
// Failure: as the wrapped output; dropped lines are counted in a notice line.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "cli/output.h"
#include "sal/mutex.h"

namespace rux {

class cliSharedOutputT : public cliOutputT {
public:
    static constexpr std::size_t maxPending = 256;

    static std::shared_ptr<cliSharedOutputT> create(std::shared_ptr<cliOutputT> out);
    explicit cliSharedOutputT(std::shared_ptr<cliOutputT> out);

    // Held by the session around each key operation; unlock() writes the lines
    // posted meanwhile.
    void lock();
    void unlock();

    // Writes a whole line at the start of a line: now when the lock is free,
    // else as soon as its holder releases it.
    void post(const std::string& line);

    // Called (holding the lock) after lines were written between the
    // session's operations, to draw its prompt and line again below them;
    // empty: the lines just follow. The session sets it while it runs.
    void redraw(std::function<void()> fn);

    void flush() override;
    void rchr(char c) override;
    void rtext(const std::string& s) override;
    void push() override;
    void pop() override;
    void erasel() override;
    void erased() override;
    void erasec() override;
    void nl() override;
    void cup(unsigned n) override;

    const std::shared_ptr<cliOutputT>& device() const { return _out; }

private:
    // Holds the lock for one operation. Leaving the outermost hold writes the
    // lines posted while it was held: a poster that found the lock taken left
    // its line to the holder, whichever operation that holder was doing.
    class heldT {
    public:
        explicit heldT(cliSharedOutputT& o) : _o(o) { _o._enter(); }
        ~heldT() { _o._leave(); }
        heldT(const heldT&) = delete;
        heldT& operator=(const heldT&) = delete;

    private:
        cliSharedOutputT& _o;
    };
    void _enter();
    void _leave();
    // Writes the queued lines; the caller holds the lock.
    void _drain();
    // Releases the outermost hold and takes over lines posted while it was held.
    void _release();

    const std::shared_ptr<cliOutputT> _out;
    mutexT _lock;        // the output itself
    unsigned _depth = 0; // holds of the thread that has _lock (only it touches this)
    std::mutex _qmtx; // the members below
    std::condition_variable _room;
    std::deque<std::string> _pending;
    std::size_t _dropped = 0;
    unsigned _held = 0;     // lock() depth of the session
    bool _draining = false; // a poster is writing queued lines
    std::function<void()> _redraw;
    bool _atBol = true; // the last raw character written was a line feed
};

} // namespace rux
