// kivDevT: one meter, bootloader or simulated meter served by the device
// service.
//
// Shared between threads through std::shared_ptr<kivDevT> (and <kivDevT const>);
// a device taken out of the database lives on while a request holds it. The
// identity fields are filled by the driver before the device enters the
// database and are only read afterwards, so the getters need no lock. The
// virtual operations may block until the device has answered; each returns
// false when it failed or when this kind of device does not support it, and
// derived classes serialise their own access to the hardware.
#pragma once

#include <string>

namespace kivsvc {
class bootAppDataT;
class configT;
class fwBlockT;
class measureT;
class statusT;
} // namespace kivsvc

class kivDevT {
public:
    // The argument of reset(); numbered like the matching client commands.
    enum resetT { swReset = 0, hwReset = 1, cfgReset = 2 };

    kivDevT() = default;
    virtual ~kivDevT() = default;
    kivDevT(const kivDevT&) = delete;
    kivDevT& operator=(const kivDevT&) = delete;

    virtual bool getConfig(kivsvc::configT& cfg) const = 0;
    virtual bool restoreLastSavedConfig(kivsvc::configT& cfg) = 0;
    virtual bool setConfig(const kivsvc::configT& cfg, bool persistent) = 0;
    virtual bool getStatus(kivsvc::statusT& status) const = 0;
    virtual bool getMeasure(kivsvc::measureT& measure) const = 0;
    virtual bool eraseFirmware(const kivsvc::bootAppDataT& app) = 0;
    virtual bool writeFirmware(const kivsvc::fwBlockT& block) = 0;
    virtual bool getFirmwareCRC(kivsvc::bootAppDataT& app) const = 0;
    virtual bool setBootAppData(const kivsvc::bootAppDataT& app) = 0;
    virtual bool getBootAppData(kivsvc::bootAppDataT& app) const = 0;
    virtual bool reset(resetT how) = 0;

    // A value of kivsvc::reportDeviceT_modelT; 0 (unknown) until identified.
    int model() const { return _model; }
    void model(int m) { _model = m; }
    const std::string& snum() const { return _snum; }
    void snum(const std::string& s) { _snum = s; }
    const std::string& hwver() const { return _hwver; }
    void hwver(const std::string& s) { _hwver = s; }
    const std::string& swver() const { return _swver; }
    void swver(const std::string& s) { _swver = s; }

    // "Q720", "Q710", "NBOOT", "Q850"; "unknown" for every other model.
    std::string model2str() const;

protected:
    int _model = 0;
    std::string _snum; // serial number, arbitrary bytes
    std::string _hwver;
    std::string _swver;
};
