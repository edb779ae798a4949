// gasT: the application skeleton. Every program is one object of a class
// derived from gasT; its main() constructs it, calls start(argc, argv) and
// returns what start returned.
//
// start() asks the application for its configuration and options, parses the
// command line (getopt_long), prints help or version text, runs the set-up
// phases (each failure prints one fixed text on standard error and gives a
// fixed exit code), manages the program's systemd unit when asked, runs
// _run() and cleans up. It also installs the process's fault report (dump file
// in the default log directory, copied into the log) and turns SIGTERM, SIGINT
// and SIGHUP into a call of _quit() on an ordinary thread.
//
// Threads: start() runs on the main thread. _quit() is called from the signal
// thread "rux_gas_signal" or from a console thread while _run() runs; the other
// virtual operations run on the thread that called start(). A quit signal (or
// the console's "rux quit") that comes before _run() starts makes start() skip
// _run() (exit code 0). Only one
// skeleton may be started per process (a second one fails with exit code 2).
// Threads made after start() inherit SIGTERM, SIGINT and SIGHUP blocked, and
// SIGPIPE is ignored: a program that executes another one resets both first.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>

#include "logger/level.h"
#include "logger/logger.h"
#include "sal/address.h"
#include "sal/mutex.h"

namespace rux {

class cliMenuT;
class gasT;

namespace impl {
class gasConsoleT;
class quitSignalsT;
struct gasParserT;
} // namespace impl

// The configuration block; _config() changes the defaults it needs.
struct gasCfgT {
    // 0 an ordinary program; 1, 2, 3 a program that may run as a system service
    // (1 and 3 under an unprivileged service account, 2 as root): adds the
    // "action" and "foreground" options.
    int appKind = 0;
    std::string descr; // the service's description
    bool useLogger = true;
    bool logConsole = false; // standard error, or the stdio console when it runs
    bool logFile = true;     // <log directory>/<application name>.log
    bool logSyslog = false;  // not available on this platform (a warning)
    bool logDeferred = false;
    int logLevel = log::NOTICE; // default level of log IDs
    int logConsoleLevel = log::DUMP;
    int logFileLevel = log::DUMP;
    int logSyslogLevel = log::DUMP;
    std::string logDir; // empty: the default log directory, $HOME/rux/log
    bool useConsole = true;
    bool consTelnet = false;
    ipv4SockAddrT consBind{ipv4AddressT::loopback(), 23};
    bool consStdio = true;
};

class gasT {
public:
    // One command-line option: long name, short letter ('\0' for none), kind
    // of argument, help text and the assigner that takes its argument.
    class optionT {
    public:
        enum argT { enPOSITIONAL = 0, enNONE = 1, enREQUIRED = 2, enOPTIONAL = 3 };

        // Receives the option's argument (empty when there is none); false
        // refuses it and makes the command line fail (exit code 4).
        class assignerT {
        public:
            virtual ~assignerT() = default;
            virtual bool operator()(const std::string& arg) = 0;
        };

        // Stores a fixed value (flags); ignores the argument.
        template <class T> class setVarT : public assignerT {
        public:
            setVarT(T& var, T value) : _var(var), _value(std::move(value)) {}
            bool operator()(const std::string&) override {
                _var = _value;
                return true;
            }

        private:
            T& _var;
            T _value;
        };

        // Reads the argument into a variable with the type's stream input. The
        // whole argument must be consumed: "10s" is no number, an unsigned type
        // refuses a sign, and text is one word (a blank or an empty argument
        // is refused, never cut short). The variable is unchanged on refusal.
        template <class T> class parseVarT : public assignerT {
        public:
            explicit parseVarT(T& var) : _var(var) {}
            bool operator()(const std::string& arg) override { return parseWhole(arg, _var); }

        private:
            T& _var;
        };

        // Any callable taking the argument text and returning bool.
        class funcT : public assignerT {
        public:
            explicit funcT(std::function<bool(const std::string&)> fn) : _fn(std::move(fn)) {}
            bool operator()(const std::string& arg) override { return _fn && _fn(arg); }

        private:
            std::function<bool(const std::string&)> _fn;
        };

        // The assigner is owned by the option (shared between its copies).
        optionT(std::string lname, char sname, argT arg, std::string help,
                std::unique_ptr<assignerT> assigner);

        // Shorthands for the assigners above.
        template <class T> static std::unique_ptr<assignerT> setVar(T& var, T value) {
            return std::make_unique<setVarT<T>>(var, std::move(value));
        }
        template <class T> static std::unique_ptr<assignerT> parseVar(T& var) {
            return std::make_unique<parseVarT<T>>(var);
        }
        static std::unique_ptr<assignerT> func(std::function<bool(const std::string&)> fn) {
            return std::make_unique<funcT>(std::move(fn));
        }

        // The whole-value text input behind parseVarT.
        template <class T> static bool parseWhole(const std::string& text, T& out);

        const std::string& lname() const { return _lname; }
        char sname() const { return _sname; }
        argT arg() const { return _arg; }
        const std::string& help() const { return _help; }
        bool assign(const std::string& text) const { return _assigner && (*_assigner)(text); }

    private:
        std::string _lname;
        char _sname;
        argT _arg;
        std::string _help;
        std::shared_ptr<assignerT> _assigner;
    };

    explicit gasT(const std::string& name);
    virtual ~gasT();
    gasT(const gasT&) = delete;
    gasT& operator=(const gasT&) = delete;

    // Builds and runs the application; returns the process's exit code: _run()'s
    // result, 0 after help or version text, or the code of the phase that failed.
    int start(int argc, char* argv[]);

    const std::string& name() const { return _name; }
    // The executable's name as invoked (base name of argv[0]), and the
    // directory it really lies in.
    const std::string& exeName() const { return _exeName; }
    const std::string& exeDir() const { return _exeDir; }

protected:
    // Fills the configuration block; false ends start() with code 1.
    virtual bool _config(gasCfgT& cfg);
    // User initialisation, after option parsing; false ends with code 6.
    virtual bool _init(const gasCfgT& cfg);
    // The program's body; its result is the exit code.
    virtual int _run() = 0;
    // Asks _run() to return. Called from another thread, possibly more than once.
    virtual void _quit();
    // Appends the application's options; false: the program takes no options
    // at all and its arguments are not looked at.
    virtual bool _options(std::list<optionT>& opts);
    // The version text; the "version" option exists only when this returns true.
    virtual bool _version(std::string& version);
    // Extra text printed after the option list when this returns true.
    virtual bool _help(std::string& help);
    // Adds the application's menus to the console: may set `root` to a menu
    // of its own (otherwise a root menu named after the application is made).
    virtual bool _console(std::shared_ptr<cliMenuT>& root);

    // Tells the service manager that the program serves (systemd "READY=1"
    // when NOTIFY_SOCKET is set; nothing otherwise). Call once, from any thread.
    void _ready();

private:
    friend class impl::gasConsoleT;
    friend struct impl::gasParserT;

    bool _buildApp(int argc, char* argv[], int& code);
    bool _parse(std::list<optionT>& opts, int argc, char* argv[]);
    void _printHelp(const std::list<optionT>& opts);
    void _addStdOptions(std::list<optionT>& opts, bool withVersion);
    bool _osInit();
    bool _osSetup();
    bool _loggerSetup();
    bool _osPost(bool& end, int& code);
    void _onQuitSignal(int sig);
    // A quit from a signal or the console: _quit() while _run() runs, before
    // it the body is skipped.
    void _askQuit();
    void _cleanup();

    const std::string _name;
    std::string _exeName;
    std::string _exeDir;
    gasCfgT _cfg;
    loggerT _log; // "rux_gas", bound by the logger set-up
    std::unique_ptr<impl::gasConsoleT> _cons;
    std::unique_ptr<impl::quitSignalsT> _signals;
    mutexT _runMtx;          // orders quit requests against the start and end of _run
    bool _running = false;   // _run has started and not returned
    bool _quitAsked = false; // a quit signal came before _run started

    // Command-line state of the standard options.
    int _action = 0; // 0 run, 1 install, 2 uninstall, 3 check
    bool _foreground = false;
    std::string _svcCmdLine;
    bool _helpAsked = false;
    bool _versionAsked = false;
    std::atomic<bool> _loggerUp{false}; // read by the signal thread
};

// ---- whole-value parsing ---------------------------------------------------

namespace impl {
bool parseWholeText(const std::string& text, std::string& out);
// True when the text, after leading blanks, begins with a minus sign.
bool startsNegative(const std::string& text);
} // namespace impl

template <class T> bool gasT::optionT::parseWhole(const std::string& text, T& out) {
    if constexpr (std::is_same_v<T, std::string>) {
        return impl::parseWholeText(text, out);
    } else {
        if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
            if (impl::startsNegative(text))
                return false; // stream input would wrap "-1" around
        std::istringstream is(text);
        is >> std::noskipws;
        T value{};
        is >> value;
        if (is.fail() || is.peek() != std::char_traits<char>::eof())
            return false;
        out = std::move(value);
        return true;
    }
}

} // namespace rux
