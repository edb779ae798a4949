// The device service's console tree: "device show", the two driver menus and
// "exit".
#include <map>

#include "devdb.h"
#include "devlist.h"
#include "drvapp.h"
#include "rux_cli_xface.h"

using rux::cliActionT;
using rux::cliArgsT;
using rux::cliCmdT;
using rux::cliElemT;
using rux::cliMenuT;
using rux::cliOutputT;

namespace {

std::shared_ptr<cliElemT> child(const std::shared_ptr<cliElemT>& parent, const std::string& name) {
    if (!parent)
        return nullptr;
    auto kids = parent->children();
    if (!kids)
        return nullptr;
    for (const auto& k : *kids)
        if (k && k->name() == name)
            return k;
    return nullptr;
}

// "device" with its one command "show".
std::shared_ptr<cliMenuT> buildDeviceMenu() {
    auto device = cliMenuT::create("device", "connected device operations");
    auto show = cliCmdT::create("show", "list connected devices");
    show->action(cliActionT::create([](const cliArgsT&, std::shared_ptr<cliOutputT> out) {
        devdbT::rdT guard;
        std::map<int, std::shared_ptr<const kivDevT>> devices;
        guard.get(devices);
        cliOutputT::streamT os(out);
        os << deviceListing(devices) << std::flush;
    }));
    device->add(show);
    return device;
}

// "exit" ends the session that types it and nothing else: it runs the
// skeleton's own "rux sessions close", which the skeleton adds to the root
// after this tree is built (hence the look-up when the command runs).
std::shared_ptr<cliCmdT> buildExit(const std::weak_ptr<cliMenuT>& root) {
    auto exit = cliCmdT::create("exit", "bye bye");
    exit->action(
        cliActionT::create([root](const cliArgsT& args, std::shared_ptr<cliOutputT> out) {
            auto close = child(child(child(root.lock(), "rux"), "sessions"), "close");
            auto act = close ? close->action() : nullptr;
            if (act)
                act->exec(args, out);
            else
                out->text("error: you are not in a telnet session!\n");
        }));
    return exit;
}

} // namespace

bool kivsvcDrvAppT::_console(std::shared_ptr<cliMenuT>& menu) {
    auto root = cliMenuT::create("/", "");
    auto q7 = cliMenuT::create("driver_q7", "q7.xx driver specific commands");
    auto nx = cliMenuT::create("driver_nx", "nx.xx driver specific commands");
    // The drivers exist once _init has run; the console is built before that
    // only when the skeleton's phases change, and then gets empty menus.
    if (_meterA)
        _meterA->console(q7);
    if (_bootA)
        _bootA->console(nx);
    root->add(buildDeviceMenu());
    root->add(q7);
    root->add(nx);
    root->add(buildExit(root));
    menu = root;
    return true;
}
