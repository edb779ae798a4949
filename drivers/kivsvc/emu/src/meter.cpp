#include "kivemu/meter.h"

#include "kivemu/q7xx_v2_state.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kivemu {

namespace {

constexpr unsigned key(unsigned rid, unsigned mid) {
    return rid << 8 | mid;
}

unsigned char sum8(const unsigned char* b, std::size_t n) {
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i)
        s += b[i];
    return static_cast<unsigned char>(s);
}

void put(bytesT& b, std::size_t at, const std::string& s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        b[at + i] = i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

void put2(bytesT& b, std::size_t at, unsigned v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put4(bytesT& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

void putf(bytesT& b, std::size_t at, float f) {
    uint32_t v;
    std::memcpy(&v, &f, sizeof v);
    put4(b, at, v);
}

rux::timeT now() {
    return rux::timeT(rux::monCLK);
}

} // namespace

meterT::meterT(meterIdentityT id, std::size_t inputLen, std::size_t outputLen)
    : _id(std::move(id)), _inLen(inputLen), _outLen(outputLen), _since(now()) {
    _config = _defaultConfig();
    _stored = _config;
    _cookie.assign(blockPayload, 0);
    put(_cookie, 0, "DN25", 4);
    _extd.assign(blockPayload, 0);
    putf(_extd, 0, 0.0f);  // flow at 4 mA
    putf(_extd, 4, 10.0f); // flow at 20 mA
    _extd[20] = 1;         // dm3/min
    putf(_extd, 40, 0.5f); // minimum k gain
    putf(_extd, 44, 2.0f); // maximum k gain
    putf(_extd, 48, 1.0f); // factory sensor gain
}

void meterT::identity(const meterIdentityT& id) {
    _id = id;
    put(_config, 1, _id.snum, 17);
    put(_stored, 1, _id.snum, 17);
}

bytesT meterT::_defaultConfig() const {
    bytesT c(configPayload, 0);
    put(c, 1, _id.snum, 17);
    c[18] = 1;  // forward
    c[19] = 0;  // unidirectional
    c[20] = 1;  // 50 Hz
    c[21] = 16; // filter width
    c[22] = 2;  // filter sensitivity
    c[24] = 10; // flow scale 1.0
    c[28] = 3;  // decPPL
    c[29] = 2;  // output pulse digits
    c[30] = 0;  // m3
    c[31] = 5;  // pulse output
    put2(c, 32, 10000);
    put2(c, 34, 1000);
    put2(c, 36, 200);
    put4(c, 38, 123000);
    put4(c, 46, 50);
    if (firstVersion()) {
        c[25] = 50;  // k gain min 2.0
        c[26] = 200; // k gain max 0.5
        std::fill(c.begin() + configPayloadV1, c.end(), 0);
    }
    return c;
}

bytesT meterT::_reply(unsigned char mid, const bytesT& payload, std::size_t covered) const {
    bytesT r(_inLen, 0);
    if (_inLen < 3)
        return r;
    r[0] = 4;
    r[1] = mid;
    for (std::size_t i = 0; i < payload.size() && i + 2 < _inLen - 1; ++i)
        r[i + 2] = payload[i];
    r[_inLen - 1] = sum8(r.data(), std::min(covered, _inLen - 1));
    return r;
}

bytesT meterT::unsolicited() const {
    bytesT p(20, 0);
    p[1] = _id.hwver;
    p[2] = _id.swver;
    put(p, 3, _id.name, 17);
    return _reply(1, p, 22);
}

bytesT meterT::_measure() const {
    const double secs = double((now() - _since).ms()) / 1000.0;
    const double total = _totalBase + std::abs(_flow) * secs / 1000.0;
    return v2::measurement(v2::configT::decode(_config), v2::extdT::decode(_extd), _flow, total,
                           _id.name == "Q8.10 MAGMETER")
        .encode();
}

actionT meterT::handle(const unsigned char* report, std::size_t len) {
    actionT act;
    ++_hostReports;
    if (report != nullptr && len >= 2) {
        _hostIds.emplace_back(report[0], report[1]);
        if (_hostIds.size() > hostIdsKept)
            _hostIds.pop_front();
    }
    if (_faults.unplugAfter > 0 && --_faults.unplugAfter == 0) {
        _faults.unplugAfter = -1;
        act.unplug = true; // gone before it could answer
        return act;
    }
    if (report == nullptr || len < 3) {
        ++_ignored;
        return act;
    }
    const unsigned rid = report[0];
    const unsigned mid = report[1];
    // Settings carry the host's 61-byte payload; everything else none.
    const bool settings = rid == 1 && (mid == 2 || mid == 3 || mid == 7 || mid == 8);
    // The cookie goes out as its 60 bytes, the others with one zero byte more.
    const std::size_t n = !settings ? 0 : mid == 7 ? blockPayload : hostSetPayload;
    if (len < n + 3 || report[n + 2] != sum8(report, n + 2)) {
        ++_ignored;
        return act;
    }
    if (_faults.mute.count(key(rid, mid)))
        return act;
    if (!_answer(rid, mid, report + 2, n, act))
        ++_ignored;
    _applyFaults(act);
    return act;
}

bool meterT::_answer(unsigned rid, unsigned mid, const unsigned char* payload, std::size_t plen,
                     actionT& act) {
    const bool v2 = !firstVersion();
    const std::size_t cfgLen = v2 ? configPayload : configPayloadV1;
    auto configReply = [&](unsigned char m, bytesT cfg) {
        // Beyond the layout the payload is zero, so the checksum comes out the
        // same over the configuration and over a serial-number reply (2/3 is
        // both the saved-configuration and the serial-number request).
        std::fill(cfg.begin() + std::min(cfg.size(), v2 ? std::size_t(52) : cfgLen), cfg.end(), 0);
        act.replies.push_back(replyT{_reply(m, cfg, cfgLen + 2), rux::timeT()});
    };
    switch (key(rid, mid)) {
    case key(2, 1): { // identify
        bytesT p(20, 0);
        p[1] = _id.hwver;
        p[2] = _id.swver;
        put(p, 3, _id.name, 17);
        act.replies.push_back(replyT{_reply(1, p, 22), rux::timeT()});
        return true;
    }
    case key(2, 2): // configuration in use
        configReply(2, _config);
        return true;
    case key(2, 3): // serial number, and the stored configuration
        configReply(3, _stored);
        return true;
    case key(2, 6): { // hardware settings
        bytesT p{0, _hwSettings, 0, 0};
        act.replies.push_back(replyT{_reply(6, p, 6), rux::timeT()});
        return true;
    }
    case key(2, 7):
        if (!v2)
            return false;
        act.replies.push_back(replyT{_reply(7, _cookie, blockPayload + 2), rux::timeT()});
        return true;
    case key(2, 8):
        if (!v2)
            return false;
        act.replies.push_back(replyT{_reply(8, _extd, blockPayload + 2), rux::timeT()});
        return true;
    case key(2, 9):
        if (!v2)
            return false;
        act.replies.push_back(replyT{_reply(9, _measure(), blockPayload + 2), rux::timeT()});
        return true;
    case key(1, 2):
    case key(1, 3):
        std::copy(payload, payload + cfgLen, _config.begin());
        if (mid == 3)
            _stored = _config;
        return true;
    case key(1, 7):
        if (!v2)
            return false;
        std::copy(payload, payload + blockPayload, _cookie.begin());
        return true;
    case key(1, 8):
        if (!v2)
            return false;
        std::copy(payload, payload + blockPayload, _extd.begin());
        if (_extd[22] & 0x80) { // reset the totaliser; the bit is not kept
            _extd[22] &= 0x7F;
            _totalBase = 0;
            _since = now();
        }
        return true;
    case key(1, 5): // configuration to defaults
        ++_cfgResets;
        _config = _defaultConfig();
        return true;
    case key(3, 1):
        ++_swResets;
        return true;
    case key(3, 2):
        ++_hwResets;
        act.unplug = act.replug = true;
        return true;
    default:
        (void)plen;
        return false;
    }
}

void meterT::_applyFaults(actionT& act) {
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
        if (f.corrupt > 0) {
            --f.corrupt;
            r->report.back() ^= 0x5A;
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
