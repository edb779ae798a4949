// Running the skeleton's test program in a child process with a private HOME.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "rux_testsupport.h"

namespace {

struct gasRunT {
    int code = -1;
    int signal = 0;
    std::string out;
};

// Runs the test program to its end; HOME is `home` (a fresh directory when
// empty), the console is off unless GAS_TESTAPP_CFG says otherwise.
inline gasRunT runApp(std::vector<std::string> args, std::map<std::string, std::string> env = {},
                      const std::string& home = "") {
    rux::test::tempDirT tmp;
    rux::test::processT::optionsT o;
    o.argv.push_back(GAS_TESTAPP);
    for (auto& a : args)
        o.argv.push_back(a);
    o.env = std::move(env);
    o.env.emplace("HOME", home.empty() ? tmp.path() : home);
    o.env.emplace("GAS_TESTAPP_CFG", "useConsole=0");
    rux::test::processT p(o);
    gasRunT r;
    if (!p.start() || !p.wait(rux::test::msT(20000)))
        return r;
    r.code = p.exitCode();
    r.signal = p.termSignal();
    r.out = p.output();
    return r;
}

} // namespace
