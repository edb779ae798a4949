#include "devlist.h"

#include <vector>

#include "kivsvc_common.h"

namespace {

std::string padded(const std::string& s, size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

} // namespace

std::string escapeDeviceText(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    // Devices pad their fixed-size text fields with NULs.
    size_t len = text.size();
    while (len > 0 && text[len - 1] == '\0')
        --len;
    std::string out;
    out.reserve(len);
    for (unsigned char c : text.substr(0, len)) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        } else {
            out += char(c);
        }
    }
    return out;
}

const char* listingModel(int model) {
    switch (model) {
    case kivsvc::reportDeviceT::Q720:
        return "Q720";
    case kivsvc::reportDeviceT::Q710:
        return "Q710";
    default:
        return "UNKN";
    }
}

std::string deviceListing(const std::map<int, std::shared_ptr<const kivDevT>>& devices) {
    struct rowT {
        int id;
        int model;
        std::string snum, hwver, swver;
    };
    std::vector<rowT> rows;
    size_t snumLen = 0, hwLen = 0;
    for (const auto& d : devices) {
        rowT r{d.first, d.second->model(), escapeDeviceText(d.second->snum()),
               escapeDeviceText(d.second->hwver()), escapeDeviceText(d.second->swver())};
        snumLen = std::max(snumLen, r.snum.size());
        hwLen = std::max(hwLen, r.hwver.size());
        rows.push_back(std::move(r));
    }
    const size_t snumW = snumLen < 8 ? 7 : snumLen + 3;
    const size_t hwW = hwLen < 9 ? 8 : hwLen + 3;

    std::string out = "ID   MODEL   SNUM   ";
    if (snumLen >= 8)
        out.append(snumLen - 4, ' ');
    out += "HWVER   ";
    if (hwLen >= 9)
        out.append(hwLen - 5, ' ');
    out += "SWVER\n";
    for (const rowT& r : rows) {
        out += padded(std::to_string(r.id), 5);
        out += listingModel(r.model);
        out += "    ";
        out += padded(r.snum, snumW);
        out += padded(r.hwver, hwW);
        out += r.swver;
        out += "\n";
    }
    return out;
}
