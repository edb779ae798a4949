// q7xxUsbDevT: a q7xx flow meter reached over USB, and its classes: q720T and
// q710T for identified models, q7xxUnkT for a meter that answered but could
// not be identified (model unknown, versions "NA", serial numbers "000001",
// "000002", ... from a process-wide counter).
//
// What a meter can do is decided by its protocol factory: each operation makes
// the factory's command for one call and runs it on the caller's thread; an
// operation the factory has no command for fails. Bootloader operations
// always fail. Operations may be called from any client thread and block until
// the meter answered, its reply time-out passed, or it was unplugged. One
// operation runs at a time per meter: a configuration change reads, modifies
// and writes, and another client's operation must not fall in between.
// Identity, factory and link are set by the driver thread before the device
// enters the database and are read-only afterwards.
#pragma once

#include <memory>

#include "q7xx/protofactory.h"
#include "rux_sal_xface.h"
#include "q7xx/usbmsg.h"
#include "usbdrv/usbdev.h"

class q7xxUsbDevT : public usbdrv::usbDevT {
public:
    bool getConfig(kivsvc::configT& cfg) const override;
    bool restoreLastSavedConfig(kivsvc::configT& cfg) override;
    bool setConfig(const kivsvc::configT& cfg, bool persistent) override;
    bool getStatus(kivsvc::statusT& status) const override;
    bool getMeasure(kivsvc::measureT& measure) const override;
    bool eraseFirmware(const kivsvc::bootAppDataT& app) override;
    bool writeFirmware(const kivsvc::fwBlockT& block) override;
    bool getFirmwareCRC(kivsvc::bootAppDataT& app) const override;
    bool setBootAppData(const kivsvc::bootAppDataT& app) override;
    bool getBootAppData(kivsvc::bootAppDataT& app) const override;
    // Software, hardware or configuration reset; true once the report is sent.
    bool reset(resetT how) override;

    const std::shared_ptr<q7xxProtoFactoryT>& factory() const { return _factory; }
    void factory(std::shared_ptr<q7xxProtoFactoryT> f) { _factory = std::move(f); }

    // Sends `request` and, when `reply` is given, waits for the matching reply
    // and parses it into `reply`. True when sent (and the reply parsed with a
    // valid checksum). `timeout` zero: the driver's reply time-out.
    bool syncMessage(std::shared_ptr<q7xxUSBMsgT> request, std::shared_ptr<q7xxUSBMsgT> reply,
                     const rux::timeT& timeout = rux::timeT()) const;

private:
    std::shared_ptr<q7xxProtoFactoryT> _factory = std::make_shared<q7xxProtoFactoryT>();
    mutable rux::mutexT _opMtx; // held for a whole operation, across its exchanges
};

class q720T : public q7xxUsbDevT {};
class q710T : public q7xxUsbDevT {};

class q7xxUnkT : public q7xxUsbDevT {
public:
    q7xxUnkT();
};

// Sends one message that has no reply.
class q7xxCmdSimpleSendMsg {
public:
    bool execute(q7xxUsbDevT& dev, std::shared_ptr<q7xxUSBMsgT> msg);
};

// Model numbers of identified meters (the client schema's device models).
namespace q7xxModel {
constexpr int unknown = 0;
constexpr int Q720 = 1;
constexpr int Q710 = 2;
constexpr int Q850 = 6;
} // namespace q7xxModel
