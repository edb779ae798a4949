// The bootloader's commands: each builds its request and reply, runs one
// exchange through the device and converts the result. A command returns
// false when the client's message cannot become a request (nothing is sent:
// a block of more than 56 bytes, an erase without its range) or when the
// exchange failed (time-out, failure bit, unplugged, unparsable reply).
// Made per call on the client's thread; no state between calls.
#pragma once

namespace kivsvc {
class bootAppDataT;
class fwBlockT;
} // namespace kivsvc

class nxxxUsbDevT;

class nxxxCmdBootGetAppData {
public:
    // On success sets all seven fields of `out` from the device's record.
    bool execute(kivsvc::bootAppDataT& out, const nxxxUsbDevT& dev);
};

class nxxxCmdBootSetAppData {
public:
    // Fields absent from `in` are written as 0.
    bool execute(const kivsvc::bootAppDataT& in, nxxxUsbDevT& dev);
};

class nxxxCmdBootEraseFirmware {
public:
    // Erases `len` bytes from `offset` of `in`; both must be present.
    bool execute(const kivsvc::bootAppDataT& in, nxxxUsbDevT& dev);
};

class nxxxCmdBootWriteFirmware {
public:
    bool execute(const kivsvc::fwBlockT& in, nxxxUsbDevT& dev);
};

class nxxxCmdBootGetCRC {
public:
    // On success sets `crc32` of `out` and nothing else.
    bool execute(kivsvc::bootAppDataT& out, const nxxxUsbDevT& dev);
};
