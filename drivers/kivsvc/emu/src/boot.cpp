#include "kivemu/boot.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace kivemu {

namespace {

constexpr unsigned char replyRid = 0xFF;
constexpr unsigned char failedBit = 0x80;
constexpr std::size_t header = 4;

// Message ids (report id 1 identifies, report id 2 carries the rest).
constexpr unsigned char midIdent = 0;
constexpr unsigned char midWrite = 1;
constexpr unsigned char midErase = 2;
constexpr unsigned char midSetApp = 3;
constexpr unsigned char midGetApp = 4;
constexpr unsigned char midGetCrc = 5;

constexpr std::size_t recordSize = 28;

uint32_t get4(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put4(bytesT& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void putText(bytesT& b, const std::string& s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        b.push_back(i < s.size() ? static_cast<unsigned char>(s[i]) : 0);
}

// True when [offset, offset + len) lies inside `size` bytes.
bool inside(uint64_t offset, uint64_t len, std::size_t size) {
    return offset <= size && len <= size - offset;
}

} // namespace

bootT::bootT(bootIdentityT id, std::size_t flashSize, std::size_t inputLen, std::size_t outputLen)
    : _id(std::move(id)), _inLen(inputLen), _outLen(outputLen), _flash(flashSize, 0xFF) {}

uint32_t bootT::crc32(const unsigned char* data, std::size_t len) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt; feed large ranges in pieces.
    while (len > 0) {
        const uInt n = len > 0x40000000u ? 0x40000000u : static_cast<uInt>(len);
        crc = ::crc32(crc, data, n);
        data += n;
        len -= n;
    }
    return static_cast<uint32_t>(crc);
}

void bootT::appArea(std::size_t& offset, std::size_t& len) const {
    if (_erased) {
        offset = _areaOffset;
        len = _areaLen;
    } else if (inside(_record.offset, _record.len, _flash.size())) {
        offset = _record.offset;
        len = _record.len;
    } else {
        offset = 0;
        len = _flash.size();
    }
}

bytesT bootT::unsolicited() const {
    return _reply(midWrite, true, _unsolicitedSeq++, bytesT());
}

bytesT bootT::_reply(unsigned char mid, bool ok, unsigned char seq, const bytesT& payload) const {
    bytesT r(std::max(_inLen, header + payload.size()), 0);
    r[0] = replyRid;
    r[1] = static_cast<unsigned char>(ok ? mid : mid | failedBit);
    r[2] = static_cast<unsigned char>(payload.size());
    r[3] = seq;
    std::copy(payload.begin(), payload.end(), r.begin() + header);
    return r;
}

actionT bootT::handle(const unsigned char* report, std::size_t len) {
    actionT act;
    ++_hostReports;
    if (report != nullptr)
        _lastReport.assign(report, report + len);
    if (_faults.unplugAfter > 0 && --_faults.unplugAfter == 0) {
        _faults.unplugAfter = -1;
        act.unplug = true;
        return act;
    }
    if (report == nullptr || len < header) {
        ++_ignored;
        return act;
    }
    const unsigned char rid = report[0];
    const unsigned char mid = report[1];
    const unsigned char seq = report[2];
    const std::size_t plen = report[3];
    if (!(rid == 1 && mid == midIdent) && rid != 2) {
        ++_ignored;
        return act;
    }
    if (_faults.mute.count(unsigned(rid) << 8 | mid))
        return act;

    if (rid == 2 && mid == midWrite) {
        if (_bootFaults.unplugAfterBlocks > 0 && --_bootFaults.unplugAfterBlocks == 0) {
            _bootFaults.unplugAfterBlocks = -1;
            act.unplug = true; // resets into the bootloader: it comes back at once
            act.replug = true;
            return act;
        }
        if (_bootFaults.staleAck > 0) {
            --_bootFaults.staleAck;
            if (!_lastWriteAck.empty())
                act.replies.push_back(replyT{_lastWriteAck, rux::timeT()});
            _applyFaults(act);
            return act;
        }
        _lastBlockSeq = seq;
        _lastBlockLen = static_cast<unsigned char>(plen);
    }

    bytesT out;
    bool ok;
    if (header + plen > len) {
        ok = false; // the announced payload is not in the report
    } else if (_bootFaults.fail > 0) {
        --_bootFaults.fail;
        ok = false;
    } else {
        // Report id 1 carries only the identification, report id 2 everything else.
        ok = (rid == 1) == (mid == midIdent) && _run(mid, report + header, plen, out);
    }
    if (!ok) {
        ++_refused;
        out.clear();
    }
    act.replies.push_back(replyT{_reply(mid, ok, seq, out), rux::timeT()});
    if (rid == 2 && mid == midWrite) {
        // A block's acknowledgement echoes the block's length as well.
        act.replies.back().report[2] = static_cast<unsigned char>(plen);
        _lastWriteAck = act.replies.back().report;
    }
    _applyFaults(act);
    return act;
}

bool bootT::_run(unsigned char mid, const unsigned char* payload, std::size_t plen, bytesT& out) {
    switch (mid) {
    case midIdent:
        out.push_back(_id.hwver);
        put4(out, _id.swver);
        putText(out, _id.name, 16);
        putText(out, _id.snum, 24);
        return true;
    case midWrite:
        return _write(payload, plen);
    case midErase:
        return _erase(payload, plen);
    case midSetApp: {
        if (plen < recordSize)
            return false;
        uint32_t* f[] = {&_record.magic, &_record.state,   &_record.offset, &_record.len,
                         &_record.crc32, &_record.version, &_record.code};
        for (std::size_t i = 0; i < 7; ++i)
            *f[i] = get4(payload + 4 * i);
        return true;
    }
    case midGetApp:
        for (uint32_t v : {_record.magic, _record.state, _record.offset, _record.len, _record.crc32,
                           _record.version, _record.code})
            put4(out, v);
        return true;
    case midGetCrc: {
        std::size_t off, n;
        appArea(off, n);
        put4(out, crc32(_flash.data() + off, n));
        return true;
    }
    default:
        return false;
    }
}

bool bootT::_write(const unsigned char* payload, std::size_t plen) {
    if (plen < 4 || plen - 4 > maxBlock)
        return false;
    const uint32_t offset = get4(payload);
    const std::size_t n = plen - 4;
    if (!inside(offset, n, _flash.size()))
        return false;
    auto at = _flash.begin() + offset;
    if (!std::all_of(at, at + n, [](unsigned char b) { return b == 0xFF; }))
        return false; // flash must be erased before it is written
    std::copy(payload + 4, payload + plen, at);
    if (n > 0 && _bootFaults.garble > 0) {
        --_bootFaults.garble;
        *at = static_cast<unsigned char>(~*at);
    }
    ++_blocks;
    return true;
}

bool bootT::_erase(const unsigned char* payload, std::size_t plen) {
    if (plen < 8)
        return false;
    const uint32_t offset = get4(payload);
    const uint32_t n = get4(payload + 4);
    if (!inside(offset, n, _flash.size()))
        return false;
    std::fill(_flash.begin() + offset, _flash.begin() + offset + n, 0xFF);
    _erased = true;
    _areaOffset = offset;
    _areaLen = n;
    ++_erases;
    return true;
}

void bootT::_applyFaults(actionT& act) {
    auto& f = _faults;
    for (auto r = act.replies.begin(); r != act.replies.end();) {
        if (f.drop > 0) {
            --f.drop;
            r = act.replies.erase(r);
            continue;
        }
        if (f.delay > 0) {
            --f.delay;
            r->delay = f.delayBy;
        }
        if (f.corrupt > 0) { // no checksum to spoil: the echoed number goes wrong
            --f.corrupt;
            r->report[3] ^= 0x5A;
        }
        if (f.wrongRid > 0) {
            --f.wrongRid;
            r->report[0] = static_cast<unsigned char>(r->report[0] + 1);
        }
        if (f.wrongMid > 0) {
            --f.wrongMid;
            r->report[1] = static_cast<unsigned char>(r->report[1] + 0x10);
        }
        ++r;
    }
}

} // namespace kivemu
