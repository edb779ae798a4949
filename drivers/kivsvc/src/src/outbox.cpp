#include "outbox.h"

#include <exception>

#include "sal/thread.h"

outboxT::outboxT(const std::string& node, rux::ipcServiceT::handleT service, rux::loggerT logger)
    : _node(node), _service(service), _logger(std::move(logger)) {}

bool outboxT::post(std::unique_ptr<rux::ipcMessageT> msg) {
    bool start = false;
    {
        rux::lockT<rux::mutexT> g(_mtx);
        if (_closed)
            return false;
        if (_queue.size() >= maxQueued) {
            rux::loggerT::logbufT(_logger, rux::log::ERROR, "_sendNotifyPresence")
                << "failed to send unsolicited!\n";
            return false;
        }
        _queue.push_back(std::move(msg));
        _cond.signal();
        start = !_started;
        _started = true;
    }
    if (start) {
        // Detached at once: the thread keeps this object alive through its
        // body and frees its own record when _run returns.
        rux::threadT::handleT t = rux::threadT::create("client::" + _node);
        t.start(shared_from_this(), &outboxT::_run);
    }
    return true;
}

void outboxT::close() {
    std::deque<std::unique_ptr<rux::ipcMessageT>> dropped; // freed outside the lock
    rux::lockT<rux::mutexT> g(_mtx);
    _closed = true;
    dropped.swap(_queue);
    _cond.signal();
}

size_t outboxT::pending() const {
    rux::lockT<rux::mutexT> g(_mtx);
    return _queue.size() + (_sending ? 1 : 0);
}

void outboxT::_run() {
    for (;;) {
        std::unique_ptr<rux::ipcMessageT> msg;
        {
            rux::lockT<rux::mutexT> g(_mtx);
            _sending = false;
            while (_queue.empty() && !_closed)
                _cond.wait(_mtx);
            if (_closed)
                return;
            msg = std::move(_queue.front());
            _queue.pop_front();
            _sending = true;
        }
        int rc;
        try {
            rc = _service.send(_node, std::move(msg));
        } catch (const std::exception&) {
            rc = -1; // a service that is not usable is a failed send too
        }
        if (rc != 0)
            rux::loggerT::logbufT(_logger, rux::log::ERROR, "_sendNotifyPresence")
                << "failed to send unsolicited!\n";
    }
}
