// Try the editor by hand: a small tree on this terminal.
#include <cstdio>

#include "rux_cli_xface.h"

using namespace rux;

int main() {
    auto root = cliMenuT::create("demo", "root");
    auto echoArgs = cliActionT::create([](const cliArgsT& a, std::shared_ptr<cliOutputT> out) {
        cliOutputT::streamT os(out);
        for (int i = 0; i < 8; ++i)
            if (a.set(i))
                os << "  " << i << ": " << a.name(i) << " = [" << a[i] << "]\n";
    });
    auto show = cliCmdT::create("show", "show something");
    auto what = cliParamT::create("what", "what to show");
    what->add(cliValT::create("all", "everything"));
    what->add(cliValT::create("brief", "a summary"));
    show->add(what);
    show->action(echoArgs);
    root->add(show);

    auto set = cliMenuT::create("set", "change settings");
    auto speed = cliCmdT::create("speed", "set the speed");
    auto value = cliParamT::create("value", "new speed");
    value->add(cliValINT::range(10, 100));
    speed->add(value);
    speed->add(cliParamT::create("force", "skip checks"));
    speed->action(echoArgs);
    set->add(speed);
    auto trim = cliCmdT::create("trim", "trim the offset");
    auto delta = cliParamT::create("delta", "offset");
    delta->add(cliValINT::range(-10, 10));
    trim->add(delta);
    trim->add(cliParamT::create("verbose", "say more"));
    trim->action(echoArgs);
    set->add(trim);
    auto label = cliCmdT::create("label", "set the label");
    auto text = cliParamT::create("text", "the label");
    text->add(cliValSTR::create(1, 20));
    text->flags(cliElemT::enREQUIRED);
    label->add(text);
    label->action(echoArgs);
    set->add(label);
    set->add(cliCmdT::create("reset", "reset everything"));
    root->add(set);

    cliStart(root, true);
    return 0;
}
