#include "app.h"

#include <cstdlib>
#include <iostream>

#include <sys/stat.h>

#include "daemon.h"
#include "ipc/startupcfg.h"

namespace rux {

namespace {

bool fileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

} // namespace

ipcdAppT::ipcdAppT() : gasT("rux_ipcd") {
    const char* env = std::getenv(impl::g_ipc_cfg_env);
    if (env)
        _cfgPath = env;
}

bool ipcdAppT::_config(gasCfgT& cfg) {
    cfg.appKind = 1;
    cfg.descr = "RUX inter-process communication service daemon";
    cfg.useConsole = false;
    return true;
}

bool ipcdAppT::_options(std::list<optionT>& opts) {
    opts.emplace_back("config", 'c', optionT::enREQUIRED, "specify the IPC configuration file",
                      optionT::parseVar(_cfgPath));
    opts.emplace_back("dump", 'd', optionT::enNONE,
                      "dump the configuration file (to be used with -c)",
                      optionT::setVar(_dump, true));
    return true;
}

bool ipcdAppT::_version(std::string& version) {
    version = "1.0.0";
    return true;
}

int ipcdAppT::_run() {
    return (_dump ? _dumpCfg() : _start()) ? 0 : 1;
}

void ipcdAppT::_quit() {
    ipcdT::quitInstance();
}

bool ipcdAppT::loadConfig(startupCfgT& cfg, const std::string& path, bool dump, bool& read,
                          std::ostream& out, std::ostream& err) {
    read = false;
    if (!fileExists(path)) {
        if (!path.empty())
            out << "can't find config file at \"" << path << "\", ";
        out << (dump ? "ipcd uses default configuration" : "using default configuration")
            << std::endl;
        return true;
    }
    out << "using config file \"" << path << "\"" << std::endl;
    if (!cfg.build(path)) {
        err << "error: invalid config file \"" << path << "\"" << std::endl;
        return false;
    }
    read = true;
    return true;
}

bool ipcdAppT::dumpConfig(const std::string& path, std::ostream& out, std::ostream& err) {
    startupCfgT cfg;
    bool read;
    if (!loadConfig(cfg, path, true, read, out, err))
        return false;
    if (!read) {
        out << "object has not been initialized" << std::endl;
        return true;
    }
    out << "GENERAL INFORMATIONS\n";
    out << "CFG file          : " << cfg.path() << "\n";
    out << "\n";
    out << cfg.defaults();
    out << "\n";
    out << "SERVICES INFORMATIONS\n\n";
    for (const auto& svc : cfg.services())
        out << svc << "\n";
    out.flush();
    return true;
}

bool ipcdAppT::_start() {
    startupCfgT cfg;
    bool read;
    if (!loadConfig(cfg, _cfgPath, false, read, std::cout, std::cerr))
        return false;
    bool ok = ipcdT::instance()->run(&cfg, [this] { _ready(); });
    ipcdT::cleanup();
    return ok;
}

bool ipcdAppT::_dumpCfg() {
    return dumpConfig(_cfgPath, std::cout, std::cerr);
}

} // namespace rux
