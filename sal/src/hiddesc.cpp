#include "hiddesc.h"

#include <array>
#include <memory>

namespace rux {
namespace impl {

namespace {

// The kernel's own bounds (drivers/hid/hid-core.c), so that anything it
// accepts is accepted here and nothing larger.
constexpr uint32_t maxReportSize = 256;    // bits per field
constexpr uint32_t maxReportCount = 12288; // HID_MAX_USAGES
constexpr size_t maxGlobalStack = 16;
constexpr size_t maxCollectionDepth = 64;
constexpr uint64_t maxReportBits = uint64_t(hidMaxReport - 1) * 8; // room for the id byte

struct globalsT {
    uint32_t usagePage = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
};

enum kindT { enINPUT, enOUTPUT, enFEATURE, enKINDS };

struct stateT {
    globalsT g;
    std::array<globalsT, maxGlobalStack> stack;
    size_t depth = 0; // of the global stack
    size_t collections = 0;
    bool haveUsage = false; // local state: the first usage since the last main item
    uint32_t usage = 0;
    bool usageExtended = false; // a 4-byte usage carries its own page
    bool application = false;   // the first application collection was seen
    std::array<std::array<uint32_t, 256>, enKINDS> bits{};
    std::array<bool, enKINDS> seen{};
    hidDescInfoT out; // numbered flag and usage as found
};

uint32_t value(const uint8_t* p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v |= uint32_t(p[i]) << (8 * i);
    return v;
}

bool mainItem(stateT& s, unsigned tag, uint32_t v) {
    int kind = tag == 8 ? enINPUT : tag == 9 ? enOUTPUT : tag == 0xb ? enFEATURE : -1;
    if (kind >= 0) {
        uint64_t total = uint64_t(s.bits[kind][s.g.reportId]) +
                         uint64_t(s.g.reportSize) * uint64_t(s.g.reportCount);
        if (total > maxReportBits)
            return false;
        s.bits[kind][s.g.reportId] = uint32_t(total);
        s.seen[kind] = true;
    } else if (tag == 0xa) {
        if (++s.collections > maxCollectionDepth)
            return false;
        if ((v & 0xff) == 1 && !s.application) {
            s.application = true;
            s.out.usage = uint16_t(s.usage);
            s.out.usagePage = uint16_t(s.usageExtended ? s.usage >> 16 : s.g.usagePage);
        }
    } else if (tag == 0xc) {
        if (s.collections == 0)
            return false;
        --s.collections;
    }
    s.haveUsage = false; // every main item ends the local state
    s.usageExtended = false;
    s.usage = 0;
    return true;
}

bool globalItem(stateT& s, unsigned tag, uint32_t v) {
    switch (tag) {
    case 0:
        s.g.usagePage = v;
        break;
    case 7:
        if (v > maxReportSize)
            return false;
        s.g.reportSize = v;
        break;
    case 8:
        if (v == 0 || v > 255)
            return false;
        s.g.reportId = v;
        s.out.numbered = true;
        break;
    case 9:
        if (v > maxReportCount)
            return false;
        s.g.reportCount = v;
        break;
    case 10:
        if (s.depth == maxGlobalStack)
            return false;
        s.stack[s.depth++] = s.g;
        break;
    case 11:
        if (s.depth == 0)
            return false;
        s.g = s.stack[--s.depth];
        break;
    default:
        break; // logical and physical ranges, units: no bearing on lengths
    }
    return true;
}

void localItem(stateT& s, unsigned tag, uint32_t v, size_t n) {
    if (tag == 0 && !s.haveUsage) {
        s.haveUsage = true;
        s.usage = v;
        s.usageExtended = n == 4;
    }
}

} // namespace

bool parseHidDescriptor(const uint8_t* data, size_t size, hidDescInfoT& out) {
    if (size > hidMaxDescriptor || (size && !data))
        return false;
    auto s = std::make_unique<stateT>();
    size_t i = 0;
    while (i < size) {
        uint8_t prefix = data[i++];
        if (prefix == 0xfe) { // long item: size, tag, data; nothing defined uses it
            if (size - i < 2)
                return false;
            size_t n = data[i];
            i += 2;
            if (size - i < n)
                return false;
            i += n;
            continue;
        }
        size_t n = prefix & 3;
        if (n == 3)
            n = 4;
        if (size - i < n)
            return false;
        uint32_t v = value(data + i, n);
        i += n;
        unsigned type = (prefix >> 2) & 3;
        unsigned tag = prefix >> 4;
        if (type == 0 && !mainItem(*s, tag, v))
            return false;
        if (type == 1 && !globalItem(*s, tag, v))
            return false;
        if (type == 2)
            localItem(*s, tag, v, n);
    }
    if (s->collections != 0)
        return false;
    hidDescInfoT r;
    r.numbered = s->out.numbered;
    r.usage = s->out.usage;
    r.usagePage = s->out.usagePage;
    uint16_t* lens[enKINDS] = {&r.inputLen, &r.outputLen, &r.featureLen};
    for (int k = 0; k < enKINDS; ++k) {
        if (!s->seen[k])
            continue;
        uint32_t most = 0;
        for (uint32_t b : s->bits[k])
            most = b > most ? b : most;
        *lens[k] = uint16_t((most + 7) / 8 + 1);
    }
    out = r;
    return true;
}

} // namespace impl
} // namespace rux
