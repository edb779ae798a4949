#include "q7xx/usbdev.h"

#include <atomic>
#include <cstdio>

#include "q7xx/exchange.h"

bool q7xxUsbDevT::getConfig(kivsvc::configT& cfg) const {
    rux::lockT<rux::mutexT> op(_opMtx);
    auto cmd = _factory->make_cmdGetConfig();
    return cmd && cmd->execute(cfg, *this, false);
}

bool q7xxUsbDevT::restoreLastSavedConfig(kivsvc::configT& cfg) {
    rux::lockT<rux::mutexT> op(_opMtx);
    auto cmd = _factory->make_cmdGetConfig();
    return cmd && cmd->execute(cfg, *this, true);
}

bool q7xxUsbDevT::setConfig(const kivsvc::configT& cfg, bool persistent) {
    rux::lockT<rux::mutexT> op(_opMtx);
    auto cmd = _factory->make_cmdSetConfig();
    return cmd && cmd->execute(cfg, *this, persistent);
}

bool q7xxUsbDevT::getStatus(kivsvc::statusT& status) const {
    rux::lockT<rux::mutexT> op(_opMtx);
    auto cmd = _factory->make_cmdGetStatus();
    return cmd && cmd->execute(status, *this);
}

bool q7xxUsbDevT::getMeasure(kivsvc::measureT& measure) const {
    rux::lockT<rux::mutexT> op(_opMtx);
    auto cmd = _factory->make_cmdGetMeasure();
    return cmd && cmd->execute(measure, *this);
}

// A meter in application mode has no bootloader.
bool q7xxUsbDevT::eraseFirmware(const kivsvc::bootAppDataT&) {
    return false;
}

bool q7xxUsbDevT::writeFirmware(const kivsvc::fwBlockT&) {
    return false;
}

bool q7xxUsbDevT::getFirmwareCRC(kivsvc::bootAppDataT&) const {
    return false;
}

bool q7xxUsbDevT::setBootAppData(const kivsvc::bootAppDataT&) {
    return false;
}

bool q7xxUsbDevT::getBootAppData(kivsvc::bootAppDataT&) const {
    return false;
}

bool q7xxUsbDevT::reset(resetT how) {
    rux::lockT<rux::mutexT> op(_opMtx);
    std::shared_ptr<q7xxUSBMsgT> msg;
    switch (how) {
    case swReset:
        msg = _factory->make_swreset();
        break;
    case hwReset:
        msg = _factory->make_hwreset();
        break;
    case cfgReset:
        msg = _factory->make_cfgreset();
        break;
    default:
        return false;
    }
    return msg && q7xxCmdSimpleSendMsg().execute(*this, msg);
}

bool q7xxUsbDevT::syncMessage(std::shared_ptr<q7xxUSBMsgT> request,
                              std::shared_ptr<q7xxUSBMsgT> reply, const rux::timeT& timeout) const {
    if (!request)
        return false;
    return exchange(std::make_shared<q7xxExchangeT>(std::move(request), std::move(reply), timeout));
}

q7xxUnkT::q7xxUnkT() {
    static std::atomic<unsigned> next{1};
    char snum[16];
    std::snprintf(snum, sizeof snum, "%06u", next++ % 1000000u);
    model(q7xxModel::unknown);
    hwver("NA");
    swver("NA");
    this->snum(snum);
}

bool q7xxCmdSimpleSendMsg::execute(q7xxUsbDevT& dev, std::shared_ptr<q7xxUSBMsgT> msg) {
    return dev.syncMessage(std::move(msg), nullptr);
}
