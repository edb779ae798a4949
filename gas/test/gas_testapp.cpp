// A program on the application skeleton whose behaviour the tests choose.
//
// Configuration by environment (read before the options exist):
//   GAS_TESTAPP_CFG   "key=value,..." over gasCfgT: appKind, descr, useLogger,
//                     logConsole, logFile, logDir, useConsole, consStdio, consTelnet
//   GAS_TESTAPP_FAIL  "config" or "init": that operation returns false
//   GAS_TESTAPP_NOOPTS   _options returns false
//   GAS_TESTAPP_NOVERSION  _version returns false
//   GAS_TESTAPP_DUP   "short" or "long": adds an option clashing with a standard one
//   GAS_TESTAPP_INIT_GATE  _init waits until this file exists
// Options choose what _run does: print the values read, serve until told to
// quit, crash in one of several ways.
#include <cstdlib>
#include <unistd.h>
#include <iostream>
#include <sstream>
#include <vector>

#include "rux_gas_xface.h"
#include "sal/cond.h"
#include "sal/mutex.h"
#include "sal/thread.h"

// The faults, with external names so that the report's backtrace shows them.
#pragma GCC diagnostic ignored "-Winfinite-recursion"
// Deep recursion that the compiler cannot turn into a loop.
__attribute__((noinline)) int gasTestRecurse(volatile char* prev, int depth) {
    volatile char frame[512];
    frame[0] = char(depth);
    if (prev)
        frame[1] = prev[0];
    return gasTestRecurse(frame, depth + 1) + frame[1];
}

__attribute__((noinline, no_sanitize("undefined"))) void gasTestNullWrite() {
    int* p = nullptr;
    asm volatile("" : "+r"(p)); // the compiler may not drop the store below
    *static_cast<volatile int*>(p) = 42;
}

__attribute__((noinline, no_sanitize("undefined"))) int gasTestDivide(int num, int den) {
    asm volatile("" : "+r"(den)); // a real division by zero, not one folded away
    return num / den;
}

__attribute__((noinline)) void gasTestAssert(int value) {
    RUX_FAULT_IF(value != 0);
}

namespace {

using rux::gasT;
using optionT = rux::gasT::optionT;

std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

class testAppT : public gasT {
public:
    testAppT() : gasT("gas_testapp") {}

protected:
    bool _config(rux::gasCfgT& cfg) override {
        std::stringstream items(env("GAS_TESTAPP_CFG"));
        std::string item;
        while (std::getline(items, item, ',')) {
            size_t eq = item.find('=');
            if (eq == std::string::npos)
                continue;
            std::string k = item.substr(0, eq), v = item.substr(eq + 1);
            bool b = v == "1";
            if (k == "appKind")
                cfg.appKind = std::atoi(v.c_str());
            else if (k == "descr")
                cfg.descr = v;
            else if (k == "useLogger")
                cfg.useLogger = b;
            else if (k == "logConsole")
                cfg.logConsole = b;
            else if (k == "logFile")
                cfg.logFile = b;
            else if (k == "logDir")
                cfg.logDir = v;
            else if (k == "useConsole")
                cfg.useConsole = b;
            else if (k == "consStdio")
                cfg.consStdio = b;
            else if (k == "consTelnet")
                cfg.consTelnet = b;
        }
        _cfg = cfg;
        return env("GAS_TESTAPP_FAIL") != "config";
    }

    bool _init(const rux::gasCfgT& cfg) override {
        _cfg = cfg;
        const std::string gate = env("GAS_TESTAPP_INIT_GATE");
        if (!gate.empty()) {
            // Holds the start-up until the test creates the file.
            std::cout << "init waiting" << std::endl;
            while (access(gate.c_str(), F_OK) != 0)
                usleep(5000);
        }
        return env("GAS_TESTAPP_FAIL") != "init";
    }

    bool _options(std::list<optionT>& opts) override {
        if (!env("GAS_TESTAPP_NOOPTS").empty())
            return false;
        opts.emplace_back("count", 'n', optionT::enREQUIRED, "a count",
                          optionT::parseVar(_count));
        opts.emplace_back("level", 'i', optionT::enREQUIRED, "a signed number",
                          optionT::parseVar(_level));
        opts.emplace_back("ratio", 'r', optionT::enREQUIRED, "a real number",
                          optionT::parseVar(_ratio));
        opts.emplace_back("text", 't', optionT::enREQUIRED, "some text", optionT::parseVar(_text));
        opts.emplace_back("flag", 'f', optionT::enNONE, "a flag", optionT::setVar(_flag, true));
        opts.emplace_back("opt", 'o', optionT::enOPTIONAL, "an optional argument",
                          optionT::func([this](const std::string& a) {
                              _opt = "<" + a + ">";
                              return a != "bad";
                          }));
        opts.emplace_back("serve", 's', optionT::enNONE, "run until told to quit",
                          optionT::setVar(_serve, true));
        opts.emplace_back("crash", 'x', optionT::enREQUIRED, "null, stack, assert, abort, divide, double or main-stack",
                          optionT::parseVar(_crash));
        opts.emplace_back("exit", 'e', optionT::enREQUIRED, "exit code of _run",
                          optionT::parseVar(_exit));
        opts.emplace_back("long-only", '\0', optionT::enNONE, "an option without a letter",
                          optionT::setVar(_longOnly, true));
        opts.emplace_back("input", '\0', optionT::enPOSITIONAL, "", optionT::parseVar(_input));
        opts.emplace_back("number", '\0', optionT::enPOSITIONAL, "", optionT::parseVar(_number));
        const std::string dup = env("GAS_TESTAPP_DUP");
        if (dup == "short")
            opts.emplace_back("hello", 'h', optionT::enNONE, "clashes with help",
                              optionT::setVar(_flag, true));
        else if (dup == "long")
            opts.emplace_back("logdir", 'g', optionT::enREQUIRED, "clashes with logdir",
                              optionT::parseVar(_text));
        return true;
    }

    bool _version(std::string& v) override {
        v = "2.7.1";
        return env("GAS_TESTAPP_NOVERSION").empty();
    }

    bool _help(std::string& h) override {
        h = "a test program of the skeleton";
        return true;
    }

    int _run() override {
        // Each line in one write: the stdio console leaves standard output
        // unbuffered and may draw its prompt between two writes.
        std::ostringstream out;
        out << "values: count=" << _count << " level=" << _level << " ratio=" << _ratio
            << " text=[" << _text << "] flag=" << _flag << " opt=[" << _opt
            << "] long-only=" << _longOnly << " input=[" << _input << "] number=" << _number
            << " logLevel=" << _cfg.logLevel << " logDir=[" << _cfg.logDir
            << "] consStdio=" << _cfg.consStdio << " consTelnet=" << _cfg.consTelnet
            << " consBind=" << _cfg.consBind.to_string() << " useConsole=" << _cfg.useConsole
            << "\n";
        std::cout << out.str() << std::flush;
        std::list<std::shared_ptr<rux::logDevT>> devs;
        rux::getLogDevices(devs);
        out.str("");
        out << "devices:";
        for (const auto& d : devs)
            out << " " << (d->name().find('/') == std::string::npos ? d->name() : "file") << ":"
                << d->level();
        const std::string def = rux::loggerT::getDefLogDev()->name();
        out << " default=" << (def.find('/') == std::string::npos ? def : "file") << "\n";
        std::cout << out.str() << std::flush;
        if (_crash == "main-stack") {
            // The main thread has an alternate stack of its own.
            gasTestRecurse(nullptr, 0);
            return 99;
        }
        if (!_crash.empty()) {
            // On framework threads: their alternate stacks must carry the report.
            const int n = _crash == "double" ? 2 : 1;
            std::vector<rux::threadT::handleT> workers;
            for (int i = 0; i < n; ++i) {
                workers.push_back(rux::threadT::create("gas_crasher"));
                workers.back().start(this, &testAppT::_crashNow);
            }
            for (auto& w : workers)
                w->wait();
            return 99; // not reached
        }
        if (!_serve)
            return _exit;
        rux::loggerT log("gas_testapp");
        _ready();
        rux::loggerT::logbufT(log, rux::log::NOTICE) << "serving\n";
        {
            rux::lockT<rux::mutexT> g(_mtx);
            while (!_quitting)
                _cond.wait(_mtx);
        }
        rux::loggerT::logbufT(log, rux::log::NOTICE) << "quitting\n";
        return _exit;
    }

    void _quit() override {
        rux::lockT<rux::mutexT> g(_mtx);
        _quitting = true;
        _cond.signal();
    }

private:
    void _crashNow() {
        if (_crash == "null" || _crash == "double")
            gasTestNullWrite();
        else if (_crash == "stack")
            gasTestRecurse(nullptr, 0);
        else if (_crash == "assert")
            gasTestAssert(_count + 1);
        else if (_crash == "abort")
            std::abort();
        else if (_crash == "divide")
            std::cout << gasTestDivide(1, int(_count)) << std::endl;
    }

    rux::gasCfgT _cfg;
    unsigned _count = 0;
    int _level = 0;
    double _ratio = 0;
    std::string _text;
    bool _flag = false;
    std::string _opt;
    bool _serve = false;
    std::string _crash;
    int _exit = 0;
    bool _longOnly = false;
    std::string _input;
    int _number = 0;
    rux::mutexT _mtx;
    rux::condT _cond;
    bool _quitting = false;
};

} // namespace

int main(int argc, char* argv[]) {
    testAppT app;
    int code = app.start(argc, argv);
    if (!env("GAS_TESTAPP_TWICE").empty()) {
        // A second skeleton in the same process is refused.
        testAppT again;
        code = again.start(argc, argv);
    }
    return code;
}
