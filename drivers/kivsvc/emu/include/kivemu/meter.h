// kivemu::meterT: a q7xx flow meter as seen from its USB side, without any
// transport. An output report from the host goes in; the input reports the
// meter sends back come out, each of the full input-report length with the
// checksum in its last byte over the bytes the host's parser checks.
//
// It answers identification (any model name and version bytes), the serial
// number, the three resets (a hardware reset asks the transport to unplug and
// plug the device again), and keeps as raw payloads what the protocol versions
// exchange: configuration in use and stored, cookie, extended configuration,
// hardware settings and a measurement whose totalised volume grows with time.
// Meters with a software version byte below 4 speak the first protocol
// version: no cookie, extended configuration or measurement, and a shorter
// configuration reply. Requests it does not know, and reports whose checksum
// is wrong, get no answer (counted in ignored()).
//
// Fault knobs (faultsT) alter the next replies for tests: drop, delay, corrupt
// the checksum, wrong report id or message id, mute requests of given ids, and
// unplug after a number of host reports.
//
// Not thread-safe: one owner (the emulator's device thread, or a test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sal/time.h"

namespace kivemu {

using bytesT = std::vector<unsigned char>;

struct meterIdentityT {
    std::string name = "Q8.20 MAGMETER"; // identification name, at most 17 bytes
    unsigned char hwver = 0x01;
    unsigned char swver = 0x04;
    std::string snum = "EMU0000001"; // serial number, at most 17 bytes
};

struct faultsT {
    unsigned drop = 0;     // the next N replies are not sent
    unsigned delay = 0;    // the next N replies are sent after delayBy
    rux::timeT delayBy;    //
    unsigned corrupt = 0;  // the next N replies carry a wrong checksum
    unsigned wrongRid = 0; // the next N replies carry another report id
    unsigned wrongMid = 0; // the next N replies carry another message id
    int unplugAfter = -1;  // unplug once this many more host reports came; -1: never
    // Requests (report id << 8 | message id) that are never answered.
    std::set<unsigned> mute;
};

// One report to send, after `delay`.
struct replyT {
    bytesT report;
    rux::timeT delay;
};

// What the transport is to do after one host report.
struct actionT {
    std::vector<replyT> replies;
    bool unplug = false; // the device disappears (after the replies)
    bool replug = false; // ... and comes back as a newly attached device
};

// A device model the HID plug-in (kivemu::hidDevT) can serve.
class modelT {
public:
    virtual ~modelT() = default;
    // One output report from the host.
    virtual actionT handle(const unsigned char* report, std::size_t len) = 0;
    // A well-formed report that answers nothing.
    virtual bytesT unsolicited() const = 0;
    virtual std::size_t inputLen() const = 0;
    virtual std::size_t outputLen() const = 0;
    // The fault knobs, applied by the model to its replies.
    virtual faultsT& faults() = 0;
};

class meterT : public modelT {
public:
    // Report lengths as the transport describes them: each counts byte 0, the
    // report id. The configuration reply needs an input length of 63 or more.
    explicit meterT(meterIdentityT id = meterIdentityT(), std::size_t inputLen = 65,
                    std::size_t outputLen = 65);

    // One output report from the host.
    actionT handle(const unsigned char* report, std::size_t len) override;
    // An identification reply.
    bytesT unsolicited() const override;

    const meterIdentityT& identity() const { return _id; }
    // Also writes the serial number into both configurations.
    void identity(const meterIdentityT& id);
    faultsT& faults() override { return _faults; }
    std::size_t inputLen() const override { return _inLen; }
    std::size_t outputLen() const override { return _outLen; }
    // Only Q7.20 / Q8.20 meters below software version 4 speak the first version.
    bool firstVersion() const {
        return _id.swver < 4 && (_id.name == "Q7.20 MAGMETER" || _id.name == "Q8.20 MAGMETER");
    }

    // Raw payloads the protocol exchanges (tests read and preset them).
    bytesT& config() { return _config; }
    bytesT& storedConfig() { return _stored; }
    bytesT& cookie() { return _cookie; }
    bytesT& extdConfig() { return _extd; }
    unsigned char& hwSettings() { return _hwSettings; }
    float& flow() { return _flow; }

    // Counters for tests.
    unsigned hostReports() const { return _hostReports; }
    // (report id, message id) of the host's latest reports, oldest first;
    // only the last hostIdsKept are kept.
    static constexpr std::size_t hostIdsKept = 64;
    const std::deque<std::pair<unsigned char, unsigned char>>& hostReportIds() const {
        return _hostIds;
    }
    unsigned ignored() const { return _ignored; }
    unsigned swResets() const { return _swResets; }
    unsigned hwResets() const { return _hwResets; }
    unsigned cfgResets() const { return _cfgResets; }

    // Payload sizes of the replies (what the host parser consumes).
    static constexpr std::size_t configPayload = 60;
    static constexpr std::size_t configPayloadV1 = 50;
    static constexpr std::size_t blockPayload = 60;   // cookie, extended configuration, measure
    static constexpr std::size_t hostSetPayload = 61; // what the host writes for SETCFG etc.

private:
    bytesT _reply(unsigned char mid, const bytesT& payload, std::size_t covered) const;
    bool _answer(unsigned rid, unsigned mid, const unsigned char* payload, std::size_t plen,
                 actionT& act);
    void _applyFaults(actionT& act);
    bytesT _measure() const;
    bytesT _defaultConfig() const;

    meterIdentityT _id;
    std::size_t _inLen;
    std::size_t _outLen;
    faultsT _faults;
    bytesT _config;
    bytesT _stored;
    bytesT _cookie;
    bytesT _extd;
    unsigned char _hwSettings = 0x0F;
    float _flow = 1.5f;
    double _totalBase = 0; // volume when the totaliser was last reset
    rux::timeT _since;     // monotonic reading of that reset
    unsigned _hostReports = 0;
    std::deque<std::pair<unsigned char, unsigned char>> _hostIds;
    unsigned _ignored = 0;
    unsigned _swResets = 0;
    unsigned _hwResets = 0;
    unsigned _cfgResets = 0;
};

} // namespace kivemu
