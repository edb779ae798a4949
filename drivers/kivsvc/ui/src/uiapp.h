// kivsvcUiAppT: the local UI bridge "kivsvc-ui".
//
// Binds the node "kivsvc-ui" on each served IPC service ("local", peer
// "kivsvc-drv"; "remote", peer "kivsvc-rass"), waits until every peer is up,
// then listens on TCP (backlog 1) and serves one UI connection at a time:
// control-bus frames from the UI become synchronous calls to the node their
// header names and the replies go back as frames with the same header;
// messages the peers send to "kivsvc-ui" go to the UI as frames; after 2 s of
// silence the UI gets a ping. When the connection ends the services are shut
// down and bound again, and the cycle starts over once a peer has gone down.
//
// The UI is never trusted to behave: a malformed or over-long frame ends the
// connection before anything is allocated for it, a UI that stalls inside a
// frame or stops reading is dropped after stallMs, and frames that are already
// buffered are answered without waiting for more input.
//
// Threads: the skeleton's operations and the cycle run on the main thread; one
// receiver thread "drv2ui_" + service per served service while a UI is
// connected; notify() on the IPC decoupler threads; _quit on the signal
// thread. _lock guards ready, quit, the contexts' up flags, the sockets'
// (re)binding and every frame written to the UI. _quit wakes every wait of the
// cycle: the bind, the wait for peers, the accept, the read.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>

#include "gas/app.h"
#include "ipc/service.h"
#include "logger/logger.h"
#include "sal/address.h"
#include "sal/cond.h"
#include "sal/mutex.h"
#include "sal/socket.h"
#include "sal/thread.h"
#include "uiconn.h"

class kivsvcUiAppT : public rux::gasT {
public:
    static constexpr const char* nodeName = "kivsvc-ui";
    static constexpr uint16_t defaultPort = 62208;
    static constexpr int pingMs = 2000;
    // How long a UI may stall inside a frame or leave our writes untaken.
    static constexpr int stallMs = 10000;

    kivsvcUiAppT();
    ~kivsvcUiAppT() override;

    // The "services" option's value into service -> peer node; false for an
    // unknown item (an empty item is refused too).
    static bool parseServices(const std::string& value, std::map<std::string, std::string>& out);

protected:
    bool _config(rux::gasCfgT& cfg) override;
    int _run() override;
    void _quit() override;
    bool _options(std::list<optionT>& opts) override;
    bool _version(std::string& v) override;

private:
    struct _svcCtxT {
        std::string peer;
        rux::ipcServiceT::handleT svc;
        rux::threadT::handleT thread;
        bool up = false;
    };
    class _ipcEventHandlerT;

    using rux::gasT::_init; // the skeleton's hook stays as it is
    bool _init();
    bool _do_start();
    void _do_forward();
    void _do_sendback(const std::string& service);
    void _do_shutdown();
    bool _quitting();
    void _forwardFrame(std::unique_ptr<rux::ipcMessageT> msg, const std::string& service,
                       const std::string& node);
    // Writes one frame to the UI under the lock; false when it could not.
    // `unknownNode` (when given) is set instead of failing for a node that
    // has no code in frames.
    bool _msg2stream(const std::unique_ptr<rux::ipcMessageT>& msg, const std::string& service,
                     const std::string& node, bool* unknownNode = nullptr);
    void _notify(const rux::ipcEventT& ev);

    rux::ipv4SockAddrT _bindAddr{rux::ipv4AddressT::loopback(), defaultPort};
    unsigned long _timeout = 10000;
    bool _servicesGiven = false;
    std::map<std::string, std::string> _wanted; // from the "services" option
    rux::loggerT _log{"kivsvc-ui"};

    rux::mutexT _lock;
    rux::condT _cond;
    bool _quitFlag = false;
    bool _peersReady = false;
    bool _binding = false;   // the main thread is in an IPC bind
    bool _listening = false; // main thread only: the service manager was told
    rux::srvSocketT<rux::streamSocketT> _srv;
    std::shared_ptr<uiConnT> _conn;
    std::map<std::string, _svcCtxT> _services;
    std::shared_ptr<_ipcEventHandlerT> _handler;
};
