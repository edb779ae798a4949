#include "gas/app.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "console/console.h"
#include "fault.h"
#include "gas/console/cli_log_output.h"
#include "gas/logdevs.h"
#include "logger/deferred_logdev.h"
#include "logger/file_logdev.h"
#include "logger/multi_logdev.h"
#include "logger/stream_logdev.h"
#include "quit_signals.h"
#include "sal/files.h"
#include "sal/sysinfo.h"
#include "service.h"


namespace rux {

namespace {

constexpr uint64_t kLogFileMax = 1048576;

std::atomic<bool> g_started{false}; // one skeleton per process
std::atomic<bool> g_stopping{false};

// The account's home directory, then "rux", then "log".
std::string defaultLogDir() {
    std::string home;
    if (const char* h = getenv("HOME"); h && *h) {
        home = h;
    } else {
        struct passwd pw;
        struct passwd* res = nullptr;
        char buf[4096];
        if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir)
            home = res->pw_dir;
    }
    while (home.size() > 1 && home.back() == sysInfo::pathSep)
        home.pop_back();
    if (home == "/")
        home.clear();
    return home + sysInfo::pathSep + "rux" + sysInfo::pathSep + "log";
}

bool isDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void notifyStopping() {
    if (!g_stopping.exchange(true))
        sd_notify(0, "STOPPING=1");
}

std::string letter(char c) {
    return c ? std::string(1, c) : std::string();
}

const char* signalName(int sig) {
    switch (sig) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

} // namespace

gasT::gasT(const std::string& name) : _name(name) {}

gasT::~gasT() = default;

bool gasT::_config(gasCfgT&) {
    return true;
}
bool gasT::_init(const gasCfgT&) {
    return true;
}
void gasT::_quit() {}
bool gasT::_options(std::list<optionT>&) {
    return true;
}
bool gasT::_version(std::string&) {
    return false;
}
bool gasT::_help(std::string&) {
    return false;
}
bool gasT::_console(std::shared_ptr<cliMenuT>&) {
    return true;
}

void gasT::_ready() {
    sd_notify(0, "READY=1");
}

int gasT::start(int argc, char* argv[]) {
    // Before this program makes any thread: all later ones inherit the mask.
    impl::quitSignalsT::block();
    int code = 0;
    if (_buildApp(argc, argv, code)) {
        bool run;
        {
            lockT<mutexT> g(_runMtx);
            run = !_quitAsked;
            _running = run;
        }
        if (run) {
            code = _run();
            lockT<mutexT> g(_runMtx);
            _running = false;
        }
    }
    _cleanup();
    return code;
}

void gasT::_onQuitSignal(int sig) {
    if (_loggerUp)
        loggerT::logbufT(_log, log::NOTICE, "_onQuitSignal") << signalName(sig) << " received\n";
    _askQuit();
}

void gasT::_askQuit() {
    bool running;
    {
        lockT<mutexT> g(_runMtx);
        running = _running;
        _quitAsked = true;
    }
    notifyStopping();
    // Not under the lock: _quit may wait for _run to return. The skeleton ends
    // this thread before start() returns, so the object outlives the call.
    if (running)
        _quit();
}

bool gasT::_buildApp(int argc, char* argv[], int& code) {
    // 1. Executable name and directory.
    std::string arg0 = argc > 0 && argv[0] ? argv[0] : _name;
    std::string dir;
    splitPathName(arg0, dir, _exeName);
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path;
    if (n > 0)
        path.assign(self, size_t(n));
    else
        getRealPath(arg0, path);
    std::string ignored;
    splitPathName(path, _exeDir, ignored);

    // 2. Configuration.
    _cfg = gasCfgT();
    if (!_config(_cfg)) {
        std::cerr << "error: failed to configure GAS application" << std::endl;
        code = 1;
        return false;
    }
    // 3. Platform.
    if (!_osInit()) {
        std::cerr << "error: failed to initialize GAS for " << sysInfo::name << std::endl;
        code = 2;
        return false;
    }
    // 4.-7. Options.
    std::list<optionT> opts;
    if (_options(opts)) {
        std::string version;
        const bool hasVersion = _version(version);
        _addStdOptions(opts, hasVersion);
        for (auto a = opts.begin(); a != opts.end(); ++a) {
            for (auto b = std::next(a); b != opts.end(); ++b) {
                if (a->lname() != b->lname() && (!a->sname() || a->sname() != b->sname()))
                    continue;
                std::cerr << "error, duplicate option '-" << letter(a->sname()) << "', \"--"
                          << a->lname() << "\" and '-" << letter(b->sname()) << "', \"--"
                          << b->lname() << "\"" << std::endl;
                code = 3;
                return false;
            }
        }
        const bool parsed = _parse(opts, argc, argv);
        if (!parsed || _helpAsked) {
            _printHelp(opts);
            code = parsed ? 0 : 4;
            return false;
        }
        if (_versionAsked) {
            std::cout << _name << " version " << version << " for " << sysInfo::name << std::endl;
            code = 0;
            return false;
        }
    }

    // 8. Set-up phases.
    if (!_osSetup()) {
        std::cerr << "error: failed to perform OS setup phase" << std::endl;
        code = 5;
        return false;
    }
    if (!_init(_cfg)) {
        std::cerr << "error: failed to perform user initialization" << std::endl;
        code = 6;
        return false;
    }
    if (_cfg.useConsole) {
        _cons = std::make_unique<impl::gasConsoleT>(*this);
        if (!_cons->setup(_cfg)) {
            std::cerr << "error: failed to initialize console" << std::endl;
            code = 7;
            return false;
        }
        // The console may have hooked the fault and quit signals (terminal
        // restore): ours come first and call it after a fault report.
        impl::faultReassert();
        impl::quitSignalsT::reassert();
    }
    if (!_loggerSetup()) {
        std::cerr << "error: failed to initialize logger" << std::endl;
        code = 8;
        return false;
    }
    if (_cons) {
        if (!_cons->start(_cfg)) {
            std::cerr << "error: failed to start console" << std::endl;
            code = 9;
            return false;
        }
        impl::faultReassert();
        impl::quitSignalsT::reassert();
    }
    bool end = false;
    if (!_osPost(end, code)) {
        std::cerr << "error: failed to perform OS post initialization" << std::endl;
        code = 10;
        return false;
    }
    return !end;
}

bool gasT::_osInit() {
    if (g_started.exchange(true))
        return false;
    impl::faultInstall();
    _signals = std::make_unique<impl::quitSignalsT>();
    return _signals->start([this](int sig) { _onQuitSignal(sig); });
}

bool gasT::_osSetup() {
    const std::string dir = defaultLogDir();
    impl::faultSetDump(dir + sysInfo::pathSep + _name + ".dump");
    if (!makeDirRec(dir))
        std::cerr << "error: can't make log directory \"" << dir << "\"" << std::endl;
    return true;
}

bool gasT::_loggerSetup() {
    if (!_cfg.useLogger)
        return true;
    loggerT::setDefLogLev(_cfg.logLevel);

    std::list<std::shared_ptr<logDevT>> devs;
    if (_cfg.logConsole) {
        std::shared_ptr<logDevT> dev;
        if (_cons && _cons->stdioOn())
            dev = std::make_shared<cliLogOutputT>(_cons->output());
        if (!dev)
            dev = std::make_shared<streamLogDevT>("stderr", std::cerr);
        dev->level(_cfg.logConsoleLevel);
        devs.push_back(dev);
    }
    if (_cfg.logFile) {
        std::string dir = _cfg.logDir;
        if (dir.empty()) {
            dir = defaultLogDir();
            if (!makeDirRec(dir)) {
                std::cerr << "error: can't make log directory \"" << dir << "\"" << std::endl;
                return false;
            }
        }
        if (!isDir(dir)) {
            std::cerr << "error: invalid log directory \"" << dir << "\"" << std::endl;
            return false;
        }
        const std::string path = dir + sysInfo::pathSep + _name + ".log";
        auto dev = std::make_shared<fileLogDevT>(path, kLogFileMax);
        dev->level(_cfg.logFileLevel);
        devs.push_back(dev);
        // The fault report finds the file even if the program changes directory.
        std::string absolute;
        impl::faultSetLog(getRealPath(path, absolute) ? absolute : path);
    }
    if (_cfg.logSyslog)
        std::cerr << "warning: syslog not available, check rux configuration" << std::endl;

    for (const auto& dev : devs)
        registerLogDevice(dev);
    std::shared_ptr<logDevT> top;
    if (devs.size() >= 2) {
        auto multi = std::make_shared<multiLogDevT>("multilog");
        multi->add(devs);
        registerLogDevice(multi);
        top = multi;
    } else if (devs.size() == 1) {
        top = devs.front();
    }
    if (top && _cfg.logDeferred) {
        auto deferred = std::make_shared<deferredLogDevT>("deferred", top);
        registerLogDevice(deferred);
        top = deferred;
    }
    if (top)
        loggerT::setDefLogDev(top);

    _log = loggerT("rux_gas");
    _loggerUp = true;
    loggerT::logbufT(_log, log::NOTICE) << _name << " started\n";
    return true;
}

bool gasT::_osPost(bool& end, int& code) {
    if (_cfg.appKind < 1 || _cfg.appKind > 3)
        return true;
    switch (_action) {
    case 1: { // install
        impl::serviceInfoT info;
        info.name = _name;
        info.descr = _cfg.descr;
        info.exePath = _exeDir + sysInfo::pathSep + _exeName;
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0)
            info.exePath.assign(self, size_t(n));
        info.cmdLine = _svcCmdLine;
        info.appKind = _cfg.appKind;
        end = true;
        code = impl::serviceInstall(info) ? 0 : -1;
        return true;
    }
    case 2: // uninstall
        end = true;
        code = impl::serviceUninstall(_name) ? 0 : -1;
        return true;
    case 3: { // check
        int rc = impl::serviceCheck(_name);
        if (rc < 0)
            return false;
        std::cout << "service \"" << _name << "\" is " << (rc ? "" : "not ") << "installed"
                  << std::endl;
        end = true;
        code = rc ? 0 : 50;
        return true;
    }
    default:
        // systemd starts the program as it is; it runs in the foreground either way.
        if (_foreground && _loggerUp)
            loggerT::logbufT(_log, log::WARNING) << "starting service in foreground\n";
        return true;
    }
}

void gasT::_cleanup() {
    notifyStopping();
    if (_loggerUp)
        loggerT::logbufT(_log, log::NOTICE) << _name << " exited\n";
    if (_cons)
        _cons->stop();
    if (_signals)
        _signals->stop();
    // Lines still queued in a deferred device would be lost at exit.
    std::list<std::shared_ptr<logDevT>> devs;
    getLogDevices(devs);
    for (const auto& dev : devs)
        if (auto deferred = std::dynamic_pointer_cast<deferredLogDevT>(dev))
            deferred->flush();
}

} // namespace rux
