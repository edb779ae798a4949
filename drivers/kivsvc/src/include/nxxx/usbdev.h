// nxxxUsbDevT: a device in its bootloader (nxxx family) reached over USB, and
// its classes: nbootT for an identified bootloader ("NBOOT"), nxxxUnkT for a
// device that answered but could not be identified (model unknown, versions
// "NA", serial numbers "000001", "000002", ... from a process-wide counter of
// its own).
//
// An nbootT carries the single firmware-update steps: read and write the
// application record, erase, write one block, read the checksum. Each runs
// its command on the caller's thread and blocks until the bootloader
// answered, the reply time-out passed (erase has a longer one: flash takes
// time to erase) or the device was unplugged. Configuration, status,
// measurement and reset requests fail, and every request to an nxxxUnkT
// fails, without any USB traffic. Operations may be called from any client
// thread; identity, erase time-out and link are set by the driver thread
// before the device enters the database and are read-only afterwards.
#pragma once

#include <memory>

#include "nxxx/usbmsg.h"
#include "usbdrv/usbdev.h"

class nxxxUsbDevT : public usbdrv::usbDevT {
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
    bool reset(resetT how) override;

    // Sends `request` and, when `reply` is given, waits for the reply that
    // echoes the request's sequence number and parses it into `reply`. True
    // when sent (and the reply parsed). `timeout` zero: the driver's reply
    // time-out.
    bool syncMessage(std::shared_ptr<nxxxUSBMsgT> request, std::shared_ptr<nxxxUSBMsgT> reply,
                     const rux::timeT& timeout = rux::timeT()) const;

    // How long an erase may take.
    const rux::timeT& eraseTimeout() const { return _eraseTimeout; }
    void eraseTimeout(const rux::timeT& t) { _eraseTimeout = t; }

private:
    rux::timeT _eraseTimeout = rux::timeT(30, 0);
};

class nbootT : public nxxxUsbDevT {};

class nxxxUnkT : public nxxxUsbDevT {
public:
    nxxxUnkT();

    bool eraseFirmware(const kivsvc::bootAppDataT&) override { return false; }
    bool writeFirmware(const kivsvc::fwBlockT&) override { return false; }
    bool getFirmwareCRC(kivsvc::bootAppDataT&) const override { return false; }
    bool setBootAppData(const kivsvc::bootAppDataT&) override { return false; }
    bool getBootAppData(kivsvc::bootAppDataT&) const override { return false; }
};

// Model number of an identified bootloader (the client schema's NBOOT).
namespace nxxxModel {
constexpr int unknown = 0;
constexpr int NBOOT = 3;
} // namespace nxxxModel
