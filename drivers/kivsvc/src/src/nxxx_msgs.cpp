#include "nxxx/msgs.h"

#include <cstring>

#include "messages.pb.h"

std::string nxxxUSBMsg_DEVIDREPLY::name() const {
    return std::string(_name.data()); // _name always ends in a NUL
}

int nxxxUSBMsg_DEVIDREPLY::_parse(const unsigned char* pos, int len) {
    if (len < payloadSize)
        return -1;
    int consumed = 0;
    _hwver = pos[0];
    ++pos;
    ++consumed;
    --len;
    _swver = _read4(pos, consumed, len);
    std::memcpy(_name.data(), pos, nameSize);
    _name[nameSize] = '\0';
    std::memcpy(_snum.data(), pos + nameSize, snumSize);
    _snum[snumSize] = '\0';
    return consumed + nameSize + snumSize;
}

bool nxxxUSBMsg_BOOTWRITEFW::fromCbusMsg(const kivsvc::fwBlockT& block) {
    const std::string& d = block.data();
    return set(block.has_offset() ? block.offset() : 0,
               reinterpret_cast<const unsigned char*>(d.data()), d.size());
}

bool nxxxUSBMsg_BOOTWRITEFW::set(uint32_t offset, const unsigned char* data, std::size_t len) {
    if (len > maxData)
        return false;
    _offset = offset;
    _data.assign(data, data + len);
    _bsz = static_cast<unsigned char>(len + 4);
    return true;
}

int nxxxUSBMsg_BOOTWRITEFW::_format(unsigned char* pos) const {
    // set() keeps the block within bounds; checked again because this is the
    // last step before the device's flash.
    if (_data.size() > maxData)
        return -1;
    _write4(pos, _offset);
    if (!_data.empty())
        std::memcpy(pos, _data.data(), _data.size());
    return static_cast<int>(4 + _data.size());
}

bool nxxxUSBMsg_BOOTERASEFW::fromCbusMsg(const kivsvc::bootAppDataT& app) {
    if (!app.has_offset() || !app.has_len())
        return false;
    set(app.offset(), app.len());
    return true;
}

int nxxxUSBMsg_BOOTERASEFW::_format(unsigned char* pos) const {
    _write4(pos, _offset);
    _write4(pos, _len);
    return payloadSize;
}

bool nxxxUSBMsg_BOOTSETAPPDATA::fromCbusMsg(const kivsvc::bootAppDataT& app) {
    _rec.magic = app.has_magic() ? app.magic() : 0;
    _rec.state = app.has_state() ? app.state() : 0;
    _rec.offset = app.has_offset() ? app.offset() : 0;
    _rec.len = app.has_len() ? app.len() : 0;
    _rec.crc32 = app.has_crc32() ? app.crc32() : 0;
    _rec.version = app.has_version() ? app.version() : 0;
    _rec.code = app.has_code() ? app.code() : 0;
    return true;
}

int nxxxUSBMsg_BOOTSETAPPDATA::_format(unsigned char* pos) const {
    for (uint32_t v :
         {_rec.magic, _rec.state, _rec.offset, _rec.len, _rec.crc32, _rec.version, _rec.code})
        _write4(pos, v);
    return nxxxAppRecordT::size;
}

bool nxxxUSBMsg_BOOTGETAPPDATAREPLY::toCbusMsg(kivsvc::bootAppDataT& app) const {
    app.set_magic(_rec.magic);
    app.set_state(_rec.state);
    app.set_offset(_rec.offset);
    app.set_len(_rec.len);
    app.set_crc32(_rec.crc32);
    app.set_version(_rec.version);
    app.set_code(_rec.code);
    return true;
}

int nxxxUSBMsg_BOOTGETAPPDATAREPLY::_parse(const unsigned char* pos, int len) {
    if (len < nxxxAppRecordT::size)
        return -1;
    int consumed = 0;
    for (uint32_t* f : {&_rec.magic, &_rec.state, &_rec.offset, &_rec.len, &_rec.crc32,
                        &_rec.version, &_rec.code})
        *f = _read4(pos, consumed, len);
    return consumed;
}

bool nxxxUSBMsg_BOOTGETCRCREPLY::toCbusMsg(kivsvc::bootAppDataT& app) const {
    app.set_crc32(_crc);
    return true;
}

int nxxxUSBMsg_BOOTGETCRCREPLY::_parse(const unsigned char* pos, int len) {
    if (len < 4)
        return -1;
    int consumed = 0;
    _crc = _read4(pos, consumed, len);
    return consumed;
}
