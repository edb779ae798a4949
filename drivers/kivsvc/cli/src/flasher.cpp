#include "flasher.h"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace kivcli {

namespace {

// The bootloader's flash is addressed with 32 bits; 16 MiB is far beyond
// any meter's and keeps a wrong file from being read whole into memory.
constexpr std::size_t maxImage = 16u << 20;

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

} // namespace

uint32_t imageT::crc32() const {
    uLong c = ::crc32(0L, Z_NULL, 0);
    c = ::crc32(c, data.data(), uInt(data.size()));
    return uint32_t(c);
}

bool loadImage(const std::string& path, imageT& image, std::string& err) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        err = "cannot open image \"" + path + "\"";
        return false;
    }
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    f.seekg(0);
    if (size <= 0) {
        err = "image \"" + path + "\" is empty or not a regular file";
        return false;
    }
    if (std::size_t(size) > maxImage) {
        err = "image \"" + path + "\" is larger than " + std::to_string(maxImage) + " bytes";
        return false;
    }
    if (uint64_t(image.offset) + uint64_t(size) > 0x100000000ull) {
        err = "image does not fit below 4 GiB at offset " + hex(image.offset);
        return false;
    }
    image.data.resize(std::size_t(size));
    if (!f.read(reinterpret_cast<char*>(image.data.data()), size)) {
        err = "cannot read image \"" + path + "\"";
        return false;
    }
    return true;
}

bool flasherT::_removed(long ms) {
    if (_gone)
        return true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    kivsvc::kivmsgT r;
    for (;;) {
        long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                             until - std::chrono::steady_clock::now())
                             .count());
        if (!_c.nextReport(r, left > 0 ? left : 0))
            return false;
        if (r.dev_id() == _id && r.report_device().event() == kivsvc::reportDeviceT::removed) {
            _gone = true;
            return true;
        }
        if (left <= 0)
            return false;
    }
}

bool flasherT::_step(kivsvc::kivmsgT& request, kivsvc::kivmsgT& reply,
                     kivsvc::kivmsgT::msgIdT expected, const std::string& what, outcomeT& out) {
    request.set_dev_id(_id);
    resultT r = _c.call(request, reply);
    if (r == resultT::timedOut || r == resultT::unreachable) {
        out.exitCode = 3;
        out.error = what + ": " +
                    (r == resultT::timedOut ? "no reply from the device service in time"
                                            : "the device service went away");
        return false;
    }
    if (r == resultT::ok && reply.msg_id() == expected &&
        (expected != kivsvc::kivmsgT::ack || acked(reply)))
        return true;
    out.exitCode = 1;
    // A device that was unplugged refuses everything: say so rather than
    // blame the step. Its removal follows the failed request closely.
    if (_removed(1000))
        out.error = what + ": the device was removed";
    else
        out.error = what + ": refused by the device";
    return false;
}

flasherT::outcomeT flasherT::run(const imageT& image) {
    outcomeT out;
    out.imageCrc = image.crc32();
    const uint64_t total = image.data.size();
    kivsvc::kivmsgT req, reply;

    _progress("record", 0, 1);
    req.Clear();
    req.set_msg_id(kivsvc::kivmsgT::getBootAppData);
    if (!_step(req, reply, kivsvc::kivmsgT::reportBootAppData, "reading the application record",
               out))
        return out;
    out.before = reply.boot_app_data();
    _progress("record", 1, 1);

    _progress("erase", 0, total);
    req.Clear();
    req.set_msg_id(kivsvc::kivmsgT::eraseFirmware);
    req.mutable_boot_app_data()->set_offset(image.offset);
    req.mutable_boot_app_data()->set_len(uint32_t(total));
    if (!_step(req, reply, kivsvc::kivmsgT::ack, "erasing the application area", out))
        return out;
    _progress("erase", total, total);

    for (uint64_t at = 0; at < total; at += blockSize) {
        if (_quit.load()) {
            out.exitCode = 1;
            out.error = "interrupted while writing";
            return out;
        }
        if (_removed(0)) {
            out.exitCode = 1;
            out.error =
                "writing at " + hex(uint32_t(image.offset + at)) + ": the device was removed";
            return out;
        }
        const std::size_t n = std::size_t(std::min<uint64_t>(blockSize, total - at));
        req.Clear();
        req.set_msg_id(kivsvc::kivmsgT::writeFirmware);
        req.mutable_fw_data()->set_offset(uint32_t(image.offset + at));
        req.mutable_fw_data()->set_data(
            std::string(reinterpret_cast<const char*>(image.data.data() + at), n));
        if (!_step(req, reply, kivsvc::kivmsgT::ack,
                   "writing at " + hex(uint32_t(image.offset + at)), out))
            return out;
        _progress("write", at + n, total);
    }

    _progress("checksum", 0, 1);
    req.Clear();
    req.set_msg_id(kivsvc::kivmsgT::getFirmwareCRC);
    if (!_step(req, reply, kivsvc::kivmsgT::reportFirmwareCRC, "reading the firmware checksum",
               out))
        return out;
    out.deviceCrc = reply.boot_app_data().crc32();
    if (out.deviceCrc != out.imageCrc) {
        out.exitCode = 1;
        out.error = "checksum mismatch: the device has " + hex(out.deviceCrc) + ", the image " +
                    hex(out.imageCrc) + "; the application record was not written";
        return out;
    }
    _progress("checksum", 1, 1);

    if (_quit.load()) {
        out.exitCode = 1;
        out.error = "interrupted before the application record was written";
        return out;
    }
    _progress("commit", 0, 1);
    // Fields not given keep what a written record holds.
    const bool recorded = out.before.has_magic() && out.before.magic() != 0xFFFFFFFFu;
    auto keep = [&](bool given, uint32_t v, uint32_t old) {
        return given ? v : recorded ? old : 0;
    };
    kivsvc::bootAppDataT rec;
    rec.set_magic(keep(image.hasMagic, image.magic, out.before.magic()));
    rec.set_state(keep(image.hasState, image.state, out.before.state()));
    rec.set_offset(image.offset);
    rec.set_len(uint32_t(total));
    rec.set_crc32(out.imageCrc);
    rec.set_version(image.version);
    rec.set_code(keep(image.hasCode, image.code, out.before.code()));
    req.Clear();
    req.set_msg_id(kivsvc::kivmsgT::setBootAppData);
    *req.mutable_boot_app_data() = rec;
    if (!_step(req, reply, kivsvc::kivmsgT::ack, "writing the application record", out))
        return out;
    req.Clear();
    req.set_msg_id(kivsvc::kivmsgT::getBootAppData);
    if (!_step(req, reply, kivsvc::kivmsgT::reportBootAppData,
               "reading the application record back", out))
        return out;
    out.after = reply.boot_app_data();
    if (out.after.SerializeAsString() != rec.SerializeAsString()) {
        out.exitCode = 1;
        out.error = "the application record read back differs from the one written";
        return out;
    }
    _progress("commit", 1, 1);
    return out;
}

} // namespace kivcli
