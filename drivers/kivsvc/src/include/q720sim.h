// q720simT: a simulated meter. It answers every request at once, touching no
// hardware and no shared state: reads succeed and leave the message as given,
// writes and resets succeed and store nothing, bootloader requests fail.
//
// Made by simDriverT, shared like any device; any thread may call it.
#pragma once

#include <string>

#include "kivdev.h"

class q720simT : public kivDevT {
public:
    // Empty versions become "1.0" (hardware) and "1.2" (software).
    q720simT(int model, const std::string& snum, const std::string& hwver,
             const std::string& swver);

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
};
