#include "nxxx/usbdev.h"

#include <atomic>
#include <cstdio>

#include "nxxx/commands.h"
#include "nxxx/exchange.h"

// A bootloader has no meter functions.
bool nxxxUsbDevT::getConfig(kivsvc::configT&) const {
    return false;
}

bool nxxxUsbDevT::restoreLastSavedConfig(kivsvc::configT&) {
    return false;
}

bool nxxxUsbDevT::setConfig(const kivsvc::configT&, bool) {
    return false;
}

bool nxxxUsbDevT::getStatus(kivsvc::statusT&) const {
    return false;
}

bool nxxxUsbDevT::getMeasure(kivsvc::measureT&) const {
    return false;
}

bool nxxxUsbDevT::eraseFirmware(const kivsvc::bootAppDataT& app) {
    return nxxxCmdBootEraseFirmware().execute(app, *this);
}

bool nxxxUsbDevT::writeFirmware(const kivsvc::fwBlockT& block) {
    return nxxxCmdBootWriteFirmware().execute(block, *this);
}

bool nxxxUsbDevT::getFirmwareCRC(kivsvc::bootAppDataT& app) const {
    return nxxxCmdBootGetCRC().execute(app, *this);
}

bool nxxxUsbDevT::setBootAppData(const kivsvc::bootAppDataT& app) {
    return nxxxCmdBootSetAppData().execute(app, *this);
}

bool nxxxUsbDevT::getBootAppData(kivsvc::bootAppDataT& app) const {
    return nxxxCmdBootGetAppData().execute(app, *this);
}

bool nxxxUsbDevT::reset(resetT) {
    return false;
}

bool nxxxUsbDevT::syncMessage(std::shared_ptr<nxxxUSBMsgT> request,
                              std::shared_ptr<nxxxUSBMsgT> reply, const rux::timeT& timeout) const {
    if (!request)
        return false;
    return exchange(std::make_shared<nxxxExchangeT>(std::move(request), std::move(reply), timeout));
}

nxxxUnkT::nxxxUnkT() {
    static std::atomic<unsigned> next{1};
    char snum[16];
    std::snprintf(snum, sizeof snum, "%06u", next++ % 1000000u);
    model(nxxxModel::unknown);
    hwver("NA");
    swver("NA");
    this->snum(snum);
}
