#include "simdriver.h"

#include <climits>

#include "devdb.h"
#include "messages.pb.h"
#include "q720sim.h"
#include "rux_cli_xface.h"

class simDriverT::_metersT {
public:
    bool connect(int model, const std::string& snum, const std::string& hwver,
                 const std::string& swver) {
        // A meter without a serial number could never be named to remove it.
        if (snum.empty())
            return false;
        auto dev = std::make_shared<q720simT>(model, snum, hwver, swver);
        if (known(snum))
            return false; // leaves the database alone: no notification
        devdbT::wrT wr;
        if (_ids.count(snum))
            return false; // another session was quicker
        _ids[snum] = wr.add(dev);
        return true;
    }

    bool disconnect(const std::string& snum) {
        if (!known(snum))
            return false;
        devdbT::wrT wr;
        auto it = _ids.find(snum);
        if (it == _ids.end())
            return false; // removed meanwhile
        wr.remove(it->second);
        _ids.erase(it);
        return true;
    }

    std::vector<std::string> serials() const {
        devdbT::rdT rd;
        std::vector<std::string> out;
        for (const auto& e : _ids)
            out.push_back(e.first);
        return out;
    }

private:
    bool known(const std::string& snum) const {
        devdbT::rdT rd;
        return _ids.count(snum) != 0;
    }

    // Guarded by the database's reader/writer lock; std::string orders by
    // bytes, a shorter string first on a common prefix.
    std::map<std::string, int> _ids;
};

namespace {

// "remove"'s parameter: one value per connected simulated meter, rebuilt each
// time the editor asks.
class snumParamT : public rux::cliParamT {
public:
    static std::shared_ptr<snumParamT> create(std::shared_ptr<simDriverT::_metersT> meters) {
        return std::shared_ptr<snumParamT>(new snumParamT(std::move(meters)));
    }

    std::shared_ptr<listT> children() override;

private:
    explicit snumParamT(std::shared_ptr<simDriverT::_metersT> meters)
        : cliParamT("snum", "serial number"), _meters(std::move(meters)) {}

    std::shared_ptr<simDriverT::_metersT> _meters;
};

std::shared_ptr<rux::cliElemT> strParam(const std::string& name, const std::string& help) {
    auto p = rux::cliParamT::create(name, help);
    p->add(rux::cliValSTR::create(0, UINT_MAX));
    return p;
}

std::string arg(const rux::cliArgsT& args, int i) {
    std::string v;
    args.get(i, v);
    return v;
}

} // namespace

std::shared_ptr<rux::cliElemT::listT> snumParamT::children() {
    auto list = std::make_shared<listT>();
    for (const auto& s : _meters->serials())
        list->push_back(rux::cliValT::create(s, ""));
    return list;
}

simDriverT::simDriverT() : _meters(std::make_shared<_metersT>()) {}

bool simDriverT::_connect(int model, const std::string& snum, const std::string& hwver,
                          const std::string& swver) {
    return _meters->connect(model, snum, hwver, swver);
}

bool simDriverT::_disconnect(const std::string& snum) {
    return _meters->disconnect(snum);
}

std::vector<std::string> simDriverT::_serials() const {
    return _meters->serials();
}

void simDriverT::console(std::shared_ptr<rux::cliMenuT>& menu) {
    std::shared_ptr<_metersT> meters = _meters;

    auto add = rux::cliCmdT::create("add", "add simulated device");
    auto model = rux::cliParamT::create("model", "device model");
    model->add(rux::cliValT::create("Q720", "Q7.20 magnetic sensor"));
    model->add(rux::cliValT::create("Q710", "Q7.10 mechanical sensor"));
    add->add(model);
    add->add(strParam("snum", "device serial number"));
    add->add(strParam("hwver", "device hardware version"));
    add->add(strParam("swver", "device software version"));
    add->action(rux::cliActionT::create(
        [meters](const rux::cliArgsT& args, std::shared_ptr<rux::cliOutputT> out) {
            int m = kivsvc::reportDeviceT::unknown;
            std::string name;
            if (!args.get(1, name) || name == "Q720")
                m = kivsvc::reportDeviceT::Q720;
            else if (name == "Q710")
                m = kivsvc::reportDeviceT::Q710;
            if (meters->connect(m, arg(args, 2), arg(args, 3), arg(args, 4)))
                out->text("device successfully connected\n");
            else
                out->text("failed to connect device (snum already present?)\n");
        }));
    menu->add(add);

    auto remove = rux::cliCmdT::create("remove", "disconnect simulated device");
    remove->add(snumParamT::create(meters));
    remove->action(rux::cliActionT::create(
        [meters](const rux::cliArgsT& args, std::shared_ptr<rux::cliOutputT> out) {
            if (meters->disconnect(arg(args, 1)))
                out->text("device removed\n");
            else
                out->text("failed to remove device (invalid snum?)\n");
        }));
    menu->add(remove);
}
