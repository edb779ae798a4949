// kivemu::bootT: a flow meter's bootloader (nxxx family, "NBOOT") as seen from
// its USB side, without any transport. An output report from the host goes
// in; the input reports it sends back come out, each of the full input-report
// length: 0xFF, the message id (bit 7 set when the command failed), the
// payload length (a block write's acknowledgement: the block's payload
// length), the request's sequence number echoed, the payload.
//
// It answers identification (name, hardware version, 32-bit software version,
// serial number), reads and writes the application record, and keeps a flash
// image of a fixed size addressed by offsets from 0:
// - erase sets a range to 0xFF; a range outside the image fails;
// - a block write (at most 56 bytes) succeeds only when every byte it covers
//   lies inside the image and is erased (0xFF); otherwise nothing is written
//   and the reply carries the failure bit;
// - the firmware checksum is the CRC-32 of the application area as zlib's
//   crc32() computes it (reflected polynomial 0xEDB88320, initial value and
//   final XOR 0xFFFFFFFF; "123456789" gives 0xCBF43926). The application
//   area is the range last erased; before any erase, the range of the
//   application record when that lies inside the image; else the whole image.
// Requests of an unknown message id, or whose payload length does not fit
// the report, are answered with the failure bit; reports that are no request
// at all get no answer (counted in ignored()). Flash and record survive an
// unplug, as they would on the device.
//
// Fault knobs: the common ones (faultsT: drop, delay, wrong report or message
// id, "corrupt" alters the echoed sequence number, mute, unplug after N host
// reports) and bootFaultsT: the failure bit, a stale acknowledgement in place
// of a block's own, and unplugging in the middle of a firmware write (the
// device comes back at once, in bootloader mode, as it does after a reset).
//
// Not thread-safe: one owner (the emulator's device thread, or a test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kivemu/meter.h"

namespace kivemu {

struct bootIdentityT {
    std::string name = "NBOOT"; // identification name, at most 16 bytes
    unsigned char hwver = 0x02;
    uint32_t swver = 0x0001A2B3;
    std::string snum = "EMUBOOT0001"; // serial number, at most 24 bytes
};

// The application record, in wire order.
struct bootRecordT {
    uint32_t magic = 0xFFFFFFFF; // erased until the host writes one
    uint32_t state = 0xFFFFFFFF;
    uint32_t offset = 0xFFFFFFFF;
    uint32_t len = 0xFFFFFFFF;
    uint32_t crc32 = 0xFFFFFFFF;
    uint32_t version = 0xFFFFFFFF;
    uint32_t code = 0xFFFFFFFF;
};

struct bootFaultsT {
    unsigned fail = 0; // the next N commands are refused with the failure bit
    // The next N block writes are not carried out; the device answers each
    // with a copy of the previous block write's acknowledgement.
    unsigned staleAck = 0;
    // Unplug when this many more block writes came (the last one is neither
    // written nor answered), then reappear at once; -1: never.
    int unplugAfterBlocks = -1;
    // The next N block writes store their first byte inverted and are
    // acknowledged as usual: only the firmware checksum shows it.
    unsigned garble = 0;
};

class bootT : public modelT {
public:
    static constexpr std::size_t maxBlock = 56;
    static constexpr std::size_t defaultFlashSize = 0x10000;

    // Report lengths count byte 0, the report id; a 56-byte block fills a
    // 64-byte output report.
    explicit bootT(bootIdentityT id = bootIdentityT(), std::size_t flashSize = defaultFlashSize,
                   std::size_t inputLen = 64, std::size_t outputLen = 64);

    actionT handle(const unsigned char* report, std::size_t len) override;
    // A block-write acknowledgement with a sequence number nobody asked with.
    bytesT unsolicited() const override;
    std::size_t inputLen() const override { return _inLen; }
    std::size_t outputLen() const override { return _outLen; }
    faultsT& faults() override { return _faults; }
    bootFaultsT& bootFaults() { return _bootFaults; }

    const bootIdentityT& identity() const { return _id; }
    void identity(const bootIdentityT& id) { _id = id; }
    bytesT& flash() { return _flash; }
    bootRecordT& record() { return _record; }
    // Where the checksum is taken (see above).
    void appArea(std::size_t& offset, std::size_t& len) const;

    // CRC-32 as zlib computes it, over `len` bytes.
    static uint32_t crc32(const unsigned char* data, std::size_t len);

    // Counters for tests.
    unsigned hostReports() const { return _hostReports; }
    unsigned ignored() const { return _ignored; }
    unsigned blocksWritten() const { return _blocks; }
    unsigned erases() const { return _erases; }
    unsigned refused() const { return _refused; }
    // Sequence number and length of the last block write as received.
    unsigned char lastBlockSeq() const { return _lastBlockSeq; }
    unsigned char lastBlockLen() const { return _lastBlockLen; }
    // The last host report, as it came.
    const bytesT& lastReport() const { return _lastReport; }

private:
    // A reply: `ok` false sets the failure bit.
    bytesT _reply(unsigned char mid, bool ok, unsigned char seq, const bytesT& payload) const;
    // Carries out one request; false refuses it.
    bool _run(unsigned char mid, const unsigned char* payload, std::size_t plen, bytesT& out);
    bool _write(const unsigned char* payload, std::size_t plen);
    bool _erase(const unsigned char* payload, std::size_t plen);
    void _applyFaults(actionT& act);

    bootIdentityT _id;
    std::size_t _inLen;
    std::size_t _outLen;
    faultsT _faults;
    bootFaultsT _bootFaults;
    bytesT _flash;
    bootRecordT _record;
    bool _erased = false; // an erase defined the application area
    std::size_t _areaOffset = 0;
    std::size_t _areaLen = 0;
    bytesT _lastWriteAck; // the previous block write's acknowledgement
    bytesT _lastReport;
    unsigned _hostReports = 0;
    unsigned _ignored = 0;
    unsigned _blocks = 0;
    unsigned _erases = 0;
    unsigned _refused = 0;
    unsigned char _lastBlockSeq = 0;
    unsigned char _lastBlockLen = 0;
    mutable unsigned char _unsolicitedSeq = 0x80;
};

} // namespace kivemu
