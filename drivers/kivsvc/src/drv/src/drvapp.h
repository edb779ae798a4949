// kivsvcDrvAppT: the device service program "kivsvc-drv".
//
// Creates and starts the four drivers (meters and bootloaders of both vendors,
// or the simulator in place of the 0xA7B3 meter driver), binds the node
// "kivsvc-drv" on the IPC service "local", keeps one client session per node
// connected there and hands every synchronous request to its sender's session.
// Runs until the skeleton asks it to quit.
//
// Threads: the skeleton's operations run on the main thread, _quit on the
// signal or a console thread; receiverT and eventHandlerT run on the IPC
// decoupler thread; the IPC service may keep and call them after the
// application has gone, and then they do nothing. _lock guards the session map
// and the quit state; it is never held while a request runs or while the IPC
// service is called.
// Failure: a driver that cannot start fails _init; a failed bind makes _run
// return 1. A quit while the daemon is absent cuts the bind short (the service
// is shut down from _quit) and _run returns 0.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>

#include "client.h"
#include "driver.h"
#include "ipc/service.h"
#include "rux_gas_xface.h"
#include "sal/cond.h"
#include "sal/mutex.h"

class kivsvcDrvAppT : public rux::gasT {
public:
    // The node name, also the program's and its log identifier.
    static constexpr const char* nodeName = "kivsvc-drv";
    static constexpr const char* serviceName = "local";
    static constexpr const char* versionText = "1.4.3.14";

    kivsvcDrvAppT();
    ~kivsvcDrvAppT() override;

    class receiverT;
    class eventHandlerT;

    // The session of `node`; empty when it has none. Any thread.
    std::shared_ptr<clientT> _client(const std::string& node);

protected:
    bool _config(rux::gasCfgT& cfg) override;
    bool _init(const rux::gasCfgT& cfg) override;
    int _run() override;
    void _quit() override;
    bool _options(std::list<optionT>& opts) override;
    bool _version(std::string& v) override;
    bool _console(std::shared_ptr<rux::cliMenuT>& menu) override;

private:
    friend class drvAppTestT; // tests reach the logger

    // IPC set-up: event handler, receiver, bind. False when it failed.
    bool _init();
    void _up(const std::string& node, const std::string& service);
    void _down(const std::string& node, const std::string& service);

    // The IPC service keeps the receiver and the event handler past the
    // application's end, and runs queued calls after its shut-down: they
    // enter the application through this gate, which the destructor closes,
    // waiting for the calls already inside.
    struct gateT;
    class passT;
    std::shared_ptr<gateT> _gate;

    bool _simulation = false;
    rux::loggerT _logger;
    rux::ipcServiceT::handleT _service;
    std::map<std::string, std::shared_ptr<clientT>> _clients;
    std::unique_ptr<driverT> _bootB;  // 0x0483:0002
    std::unique_ptr<driverT> _bootA;  // 0xA7B3:0002
    std::unique_ptr<driverT> _meterB; // 0x0483:0001
    std::unique_ptr<driverT> _meterA; // 0xA7B3:0001, or the simulator
    rux::mutexT _lock;                // _clients, _service, _quit, _binding
    rux::condT _quitCond;             // _quit set, or the bind returned
    bool _quitFlag = false;
    bool _binding = false; // _run waits in the bind
};

class kivsvcDrvAppT::receiverT : public rux::ipcReceiverT {
public:
    explicit receiverT(kivsvcDrvAppT* app) : _app(app), _gate(app->_gate) {}
    void asyncMsg(std::unique_ptr<rux::ipcMessageT> msg, const std::string& node,
                  const std::string& service) override;
    std::unique_ptr<rux::ipcMessageT> syncMsg(std::unique_ptr<rux::ipcMessageT> msg,
                                              const std::string& node,
                                              const std::string& service) override;
    void fwdMsg(std::unique_ptr<rux::ipcMessageT> msg, const std::string& src,
                const std::string& dst, const std::string& service) override;
    virtual ~receiverT() = default;

private:
    kivsvcDrvAppT* _app;
    std::shared_ptr<gateT> _gate;
};

class kivsvcDrvAppT::eventHandlerT : public rux::ipcEventHandlerT {
public:
    explicit eventHandlerT(kivsvcDrvAppT* app) : _app(app), _gate(app->_gate) {}
    ~eventHandlerT() override = default;
    void notify(const rux::ipcEventT& event) override;

private:
    kivsvcDrvAppT* _app;
    std::shared_ptr<gateT> _gate;
};
