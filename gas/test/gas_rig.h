// Running the skeleton's test program in a child process with a private HOME.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "rux_testsupport.h"

namespace {

struct gasRunT {
    bool ended = false;
    int code = -1;
    int signal = 0;
    std::string out;
};

// The test program's options: HOME is a private directory, the console is off
// unless GAS_TESTAPP_CFG says otherwise.
inline rux::test::processT::optionsT appOptions(const std::vector<std::string>& args,
                                                const std::string& home,
                                                std::map<std::string, std::string> env = {}) {
    rux::test::processT::optionsT o;
    o.argv.push_back(GAS_TESTAPP);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = std::move(env);
    o.env.emplace("HOME", home);
    o.env.emplace("GAS_TESTAPP_CFG", "useConsole=0");
    return o;
}

// Runs the test program to its end.
inline gasRunT runApp(const std::vector<std::string>& args,
                      std::map<std::string, std::string> env = {}, const std::string& home = "") {
    rux::test::tempDirT tmp;
    rux::test::processT p(appOptions(args, home.empty() ? tmp.path() : home, std::move(env)));
    gasRunT r;
    if (!p.start() || !p.wait(rux::test::msT(20000)))
        return r;
    r.ended = true;
    r.code = p.exitCode();
    r.signal = p.termSignal();
    r.out = p.output();
    return r;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace
