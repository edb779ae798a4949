#include "console.h"

#include "cli/console.h"
#include "cli/term.h"
#include "gas/console/shared_output.h"
#include "gas/console/telnet_srv.h"
#include "gas/logdevs.h"
#include "stdio_console.h"
#include "sys_menu.h"

namespace rux::impl {

gasConsoleT::gasConsoleT(gasT& app) : _app(app), _out(cliNullTermT::create()) {}

gasConsoleT::~gasConsoleT() {
    stop();
}

bool gasConsoleT::setup(const gasCfgT& cfg) {
    if (!cfg.useConsole)
        return true;
    sysMenuCfgT menu;
    menu.appName = _app.name();
    gasT* app = &_app;
    menu.quit = [app] { app->_askQuit(); };
    menu.server = [this] { return server(); };
    menu.devices = [](std::list<std::shared_ptr<logDevT>>& l) { getLogDevices(l); };
    auto rux = makeSysMenu(menu);

    std::shared_ptr<cliMenuT> root;
    _app._console(root);
    if (!root)
        root = cliMenuT::create(_app.name(), "root");
    if (!root->add(rux, false))
        return false;
    _root = root;

    if (cfg.consStdio) {
        // Puts a terminal into raw mode; its modes come back at exit, on a
        // fatal signal and when the console stops.
        if (!cliInitOsConsole())
            return false;
        _shared = cliSharedOutputT::create(cliGetOsConsoleOut());
        _out = _shared;
        _stdioOn = true;
    }
    if (cfg.consTelnet) {
        lockT<mutexT> g(_mtx);
        _srv = gasTelnetSrvT::create();
    }
    return true;
}

std::shared_ptr<cliOutputT> gasConsoleT::output() const {
    return _out;
}

std::shared_ptr<gasTelnetSrvT> gasConsoleT::server() const {
    lockT<mutexT> g(_mtx);
    return _srv;
}

bool gasConsoleT::start(const gasCfgT& cfg) {
    if (!cfg.useConsole || !_root)
        return true;
    if (_stdioOn) {
        _stdio = std::make_unique<stdioConsoleT>(_root, _shared);
        if (!_stdio->start())
            return false;
    }
    if (auto srv = server()) {
        if (!srv->start(cfg.consBind, _root)) {
            lockT<mutexT> g(_mtx);
            _srv.reset();
            return false;
        }
    }
    return true;
}

void gasConsoleT::stop() {
    if (auto srv = server())
        srv->stop();
    if (_stdio)
        _stdio->stop();
    cliRestoreOsConsole();
}

} // namespace rux::impl
