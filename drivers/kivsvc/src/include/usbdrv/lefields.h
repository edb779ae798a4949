// Little-endian report fields, read and written byte by byte (reports carry
// no alignment): the one implementation behind the meter and bootloader
// message helpers. Reads advance `pos` and count the bytes taken from `left`
// into `consumed`; callers check the length first.
#pragma once

namespace usbdrv {

inline unsigned short readLe2(const unsigned char*& pos, int& consumed, int& left) {
    const unsigned short v = static_cast<unsigned short>(pos[0] | (pos[1] << 8));
    pos += 2;
    consumed += 2;
    left -= 2;
    return v;
}

inline unsigned int readLe4(const unsigned char*& pos, int& consumed, int& left) {
    const unsigned int v =
        static_cast<unsigned int>(pos[0]) | (static_cast<unsigned int>(pos[1]) << 8) |
        (static_cast<unsigned int>(pos[2]) << 16) | (static_cast<unsigned int>(pos[3]) << 24);
    pos += 4;
    consumed += 4;
    left -= 4;
    return v;
}

inline void writeLe2(unsigned char*& pos, unsigned short v) {
    pos[0] = static_cast<unsigned char>(v);
    pos[1] = static_cast<unsigned char>(v >> 8);
    pos += 2;
}

inline void writeLe4(unsigned char*& pos, unsigned int v) {
    pos[0] = static_cast<unsigned char>(v);
    pos[1] = static_cast<unsigned char>(v >> 8);
    pos[2] = static_cast<unsigned char>(v >> 16);
    pos[3] = static_cast<unsigned char>(v >> 24);
    pos += 4;
}

} // namespace usbdrv
