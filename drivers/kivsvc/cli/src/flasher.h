// flasherT: the firmware update of one device in bootloader mode, step by
// step through the device service.
//
// The procedure: read the application record; erase the application area
// (the image's target offset and length); write the image in blocks of
// blockSize bytes in increasing offset order; read the firmware checksum and
// compare it with the image's CRC-32 (zlib's crc32); only when they match,
// write the application record (magic, state, offset, length, CRC-32, version,
// code) and read it back. A refused step, a checksum mismatch, a device that
// disappears or an interruption stops the procedure before the record is
// written; the device stays in bootloader mode and can be flashed again.
//
// The image is raw: the bytes to place at the target offset, nothing else.
// Used by one thread; progress is reported through a callback on that thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devclient.h"

namespace kivcli {

struct imageT {
    std::vector<unsigned char> data;
    uint32_t offset = 0;  // where the image goes in the device's flash
    uint32_t version = 0; // written into the record
    // Record fields; unset ones keep the value of the record on the device
    // when it holds one (magic not erased), else 0.
    bool hasMagic = false, hasState = false, hasCode = false;
    uint32_t magic = 0, state = 0, code = 0;

    // CRC-32 of the bytes as zlib computes it.
    uint32_t crc32() const;
};

// Reads a whole image file; false with a reason when it cannot be flashed.
bool loadImage(const std::string& path, imageT& image, std::string& err);

class flasherT {
public:
    static constexpr std::size_t blockSize = 56;

    // Stage names: "record", "erase", "write", "checksum", "commit".
    using progressT = std::function<void(const std::string& stage, uint64_t done, uint64_t total)>;

    struct outcomeT {
        int exitCode = 0; // exitT
        std::string error;
        kivsvc::bootAppDataT before; // the record found on the device
        kivsvc::bootAppDataT after;  // the record written (on success)
        uint32_t deviceCrc = 0;
        uint32_t imageCrc = 0;
    };

    // `quit` is polled between steps. The client must be registered for
    // device reports, so that a removal is seen.
    flasherT(devClientT& client, int devId, progressT progress, const std::atomic<bool>& quit)
        : _c(client), _id(devId), _progress(std::move(progress)), _quit(quit) {}

    outcomeT run(const imageT& image);

private:
    // One request acknowledged (true), else the outcome says why.
    bool _step(kivsvc::kivmsgT& request, kivsvc::kivmsgT& reply, kivsvc::kivmsgT::msgIdT expected,
               const std::string& what, outcomeT& out);
    // Whether the device's removal was reported (waiting up to `ms`).
    bool _removed(long ms);

    devClientT& _c;
    int _id;
    progressT _progress;
    const std::atomic<bool>& _quit;
    bool _gone = false;
};

} // namespace kivcli
