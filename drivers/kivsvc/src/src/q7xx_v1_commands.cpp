#include "q7xx/v1/commands.h"

#include <memory>

#include "messages.pb.h"
#include "q7xx/usbdev.h"
#include "q7xx/v1/config.h"

using std::make_shared;

namespace v1 {

bool q7CmdGetStatus::execute(kivsvc::statusT& out, const q7xxUsbDevT&) {
    out.set_opmode(kivsvc::statusT::normal);
    out.set_cfgmode(kivsvc::statusT::hw);
    return true;
}

bool q720CmdGetMeasure::execute(kivsvc::measureT&, const q7xxUsbDevT&) {
    return true;
}

bool q720CmdGetConfig::execute(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) {
    auto cfg = make_shared<q720USBMsg_CONFIGREPLY>(saved);
    if (!dev.syncMessage(make_shared<q720USBMsg_GETCFG>(saved), cfg))
        return false;
    kivsvc::q7xxConfigT* q = out.mutable_q7xx();
    if (!cfg->toCbusMsg(*q))
        return false;
    auto hw = make_shared<q720USBMsg_HWSETTINGSREPLY>();
    if (!dev.syncMessage(make_shared<q720USBMsg_GETHWSETTINGS>(), hw))
        return false;
    return hw->toCbusMsg(*q);
}

bool q720CmdSetConfig::execute(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) {
    if (!in.has_q7xx() || !q720USBMsg_CONFIG::checkCbusMsg(in.q7xx()))
        return false;
    auto cfg = make_shared<q720USBMsg_CONFIGREPLY>(false);
    if (!dev.syncMessage(make_shared<q720USBMsg_GETCFG>(false), cfg))
        return false;
    auto set = make_shared<q720USBMsg_SETCFG>(*cfg, persistent);
    if (!set->fromCbusMsg(in.q7xx()))
        return false;
    return dev.syncMessage(set, nullptr);
}

std::unique_ptr<q7xxCmdGetConfig> q720ProtoFactoryT::make_cmdGetConfig() const {
    return std::make_unique<q720CmdGetConfig>();
}

std::unique_ptr<q7xxCmdGetStatus> q720ProtoFactoryT::make_cmdGetStatus() const {
    return std::make_unique<q7CmdGetStatus>();
}

std::unique_ptr<q7xxCmdSetConfig> q720ProtoFactoryT::make_cmdSetConfig() const {
    return std::make_unique<q720CmdSetConfig>();
}

std::unique_ptr<q7xxCmdGetMeasure> q720ProtoFactoryT::make_cmdGetMeasure() const {
    return std::make_unique<q720CmdGetMeasure>();
}

} // namespace v1
