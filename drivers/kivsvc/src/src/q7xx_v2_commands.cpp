#include "q7xx/v2/commands.h"

#include <memory>

#include "messages.pb.h"
#include "q7xx/usbdev.h"
#include "q7xx/v2/config.h"
#include "q7xx/v2/cookie.h"
#include "q7xx/v2/extdcfg.h"
#include "q7xx/v2/hwsettings.h"
#include "q7xx/v2/measure.h"
#include "q7xx/v2/protofactory.h"

using std::make_shared;

namespace v2 {

namespace {

// The two models differ only in their configuration classes.
template <typename ReplyT>
bool getConfig(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) {
    auto cfg = make_shared<ReplyT>(saved);
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETCFG>(saved), cfg))
        return false;
    kivsvc::q7xxConfigT* q = out.mutable_q7xx();
    auto cookie = make_shared<q7xxUSBMsg_COOKIEREPLY>();
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETCOOKIE>(), cookie))
        return false;
    cookie->toCbusMsg(*q);
    auto extd = make_shared<q7xxUSBMsg_EXTDCFGREPLY>();
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETEXTDCFG>(), extd))
        return false;
    extd->toCbusMsg(*q);
    cfg->toCbusMsg(*q);
    auto hw = make_shared<q7xxUSBMsg_HWSETTINGSREPLY>();
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETHWSETTINGS>(), hw))
        return false;
    return hw->toCbusMsg(*q);
}

template <typename ReplyT, typename SetT>
bool setConfig(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) {
    if (!in.has_q7xx())
        return false;
    const kivsvc::q7xxConfigT& q = in.q7xx();
    if (!q7xxUSBMsg_CONFIG::checkCbusMsg(q) || !q7xxUSBMsg_EXTDCFG::checkCbusMsg(q))
        return false;
    auto cookie = make_shared<q7xxUSBMsg_COOKIEREPLY>();
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETCOOKIE>(), cookie))
        return false;
    auto extd = make_shared<q7xxUSBMsg_EXTDCFGREPLY>();
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETEXTDCFG>(), extd))
        return false;
    auto cfg = make_shared<ReplyT>(false);
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETCFG>(false), cfg))
        return false;
    // Every change is made before anything is written, so that a value the
    // meter cannot store leaves the meter as it was.
    auto setCfg = make_shared<SetT>(*cfg, persistent);
    auto setCookie = make_shared<q7xxUSBMsg_SETCOOKIE>(*cookie);
    auto setExtd = make_shared<q7xxUSBMsg_SETEXTDCFG>(*extd);
    if (!setCfg->fromCbusMsg(q) || !setCookie->fromCbusMsg(q) || !setExtd->fromCbusMsg(q))
        return false;
    return dev.syncMessage(setCookie, nullptr) && dev.syncMessage(setExtd, nullptr) &&
           dev.syncMessage(setCfg, nullptr);
}

} // namespace

bool q7CmdGetStatus::execute(kivsvc::statusT& out, const q7xxUsbDevT&) {
    out.set_opmode(kivsvc::statusT::normal);
    out.set_cfgmode(kivsvc::statusT::hw);
    return true;
}

bool q7CmdGetMeasure::execute(kivsvc::measureT& out, const q7xxUsbDevT& dev) {
    auto reply = make_shared<q7xxUSBMsg_GETMEASUREREPLY>();
    if (!dev.syncMessage(make_shared<q7xxUSBMsg_GETMEASURE>(), reply))
        return false;
    return reply->toCbusMsg(*out.mutable_q7xx());
}

bool q710CmdGetConfig::execute(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) {
    return getConfig<q710USBMsg_CONFIGREPLY>(out, dev, saved);
}

bool q720CmdGetConfig::execute(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) {
    return getConfig<q720USBMsg_CONFIGREPLY>(out, dev, saved);
}

bool q710CmdSetConfig::execute(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) {
    return setConfig<q710USBMsg_CONFIGREPLY, q710USBMsg_SETCFG>(in, dev, persistent);
}

bool q720CmdSetConfig::execute(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) {
    return setConfig<q720USBMsg_CONFIGREPLY, q720USBMsg_SETCFG>(in, dev, persistent);
}

std::unique_ptr<q7xxCmdGetConfig> q710ProtoFactoryT::make_cmdGetConfig() const {
    return std::make_unique<q710CmdGetConfig>();
}

std::unique_ptr<q7xxCmdGetStatus> q710ProtoFactoryT::make_cmdGetStatus() const {
    return std::make_unique<q7CmdGetStatus>();
}

std::unique_ptr<q7xxCmdSetConfig> q710ProtoFactoryT::make_cmdSetConfig() const {
    return std::make_unique<q710CmdSetConfig>();
}

std::unique_ptr<q7xxCmdGetMeasure> q710ProtoFactoryT::make_cmdGetMeasure() const {
    return std::make_unique<q7CmdGetMeasure>();
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
    return std::make_unique<q7CmdGetMeasure>();
}

} // namespace v2
