// A small command tree and a session on a VT100 terminal over a string
// stream, driven key by key through the VT100 decoder.
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rux_cli_xface.h"

namespace clitest {

using namespace rux;

// The prompt of a menu as the terminal receives it.
inline std::string P(const std::string& menu) {
    return "\33[2K\r\33[J" + menu + " > ";
}

// Echo of typed characters: each followed by erase-below.
inline std::string E(const std::string& s) {
    std::string r;
    for (char c : s) {
        r += c;
        r += "\33[J";
    }
    return r;
}

// A parameter whose values are rebuilt every time they are asked for.
class listParamT : public cliParamT {
public:
    static std::shared_ptr<listParamT> create(const std::string& name, const std::string& help) {
        return std::shared_ptr<listParamT>(new listParamT(name, help));
    }
    std::shared_ptr<listT> children() override {
        auto l = std::make_shared<listT>();
        for (const auto& n : names)
            l->push_back(cliValT::create(n, ""));
        ++asked;
        return l;
    }
    std::vector<std::string> names;
    int asked = 0;

protected:
    using cliParamT::cliParamT;
};

struct rigT {
    std::ostringstream os;
    std::shared_ptr<cliVT100TermT> term = cliVT100TermT::create(os);
    std::shared_ptr<cliMenuT> root = cliMenuT::create("/", "root");
    std::shared_ptr<cliMenuT> set = cliMenuT::create("set", "change settings");
    std::shared_ptr<listParamT> serials = listParamT::create("snum", "serial number");
    std::vector<cliArgsT> calls;
    std::unique_ptr<cliSessionT> s;

    rigT() {
        auto show = cmd(root, "show", "show state");
        auto what = param(show, "what", "what to show");
        what->add(cliValT::create("all", "everything"));
        what->add(cliValT::create("brief", "summary only"));
        root->add(set);
        auto ping = cmd(root, "ping", "check liveness", "pong\n");
        auto secret = cmd(root, "secret", "hidden");
        secret->flags(cliElemT::enHIDDEN);
        auto login = cmd(root, "login", "log in");
        param(login, "user", "user name", cliValSTR::create(1, 16))->flags(cliElemT::enREQUIRED);
        auto echo = cmd(root, "echo", "repeat a text");
        param(echo, "text", "what to say", cliValSTR::create(0, 4294967295u));
        auto boom = cmd(root, "boom", "fails");
        boom->action(cliActionT::create([](const cliArgsT&, std::shared_ptr<cliOutputT>) {
            throw std::runtime_error("boom");
        }));
        auto drop = cmd(root, "drop", "drop a device");
        drop->add(serials);

        auto speed = cmd(set, "speed", "set the speed");
        param(speed, "value", "new speed", cliValINT::range(0, 100));
        param(speed, "force", "skip checks");
        auto trim = cmd(set, "trim", "trim offset");
        param(trim, "delta", "offset", cliValINT::range(-10, 10));
        param(trim, "verbose", "say more");
        auto label = cmd(set, "label", "set the label");
        param(label, "text", "new label", cliValSTR::create(1, 8));
        set->add(cliCmdT::create("reset", "reset settings"));
        auto level = cmd(set, "level", "set the level");
        param(level, "n", "level", cliValINT::range(10, 100));

        s = std::make_unique<cliSessionT>(root);
        s->setOutput(term);
    }

    std::shared_ptr<cliCmdT> cmd(const std::shared_ptr<cliMenuT>& m, const std::string& name,
                                 const std::string& help, const std::string& says = "") {
        auto c = cliCmdT::create(name, help);
        c->action(
            cliActionT::create([this, says](const cliArgsT& a, std::shared_ptr<cliOutputT> out) {
                calls.push_back(a);
                out->text(says);
            }));
        m->add(c);
        return c;
    }

    std::shared_ptr<cliParamT> param(const std::shared_ptr<cliCmdT>& c, const std::string& name,
                                     const std::string& help,
                                     std::shared_ptr<cliElemT> value = nullptr) {
        auto p = cliParamT::create(name, help);
        if (value)
            p->add(value);
        c->add(p);
        return p;
    }

    // Feeds bytes as a terminal would send them.
    void keys(const std::string& bytes) {
        std::istringstream is(bytes);
        cliVT100InputDecoderT d(is);
        d.run(*s);
    }

    // The bytes written since the last call.
    std::string out() {
        std::string r = os.str();
        os.str("");
        return r;
    }

    std::string typed() const { return s->ctx().typed(); }
};

} // namespace clitest
