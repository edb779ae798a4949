// The first meter protocol version's payloads as an emulated meter holds
// them: the configuration (50 bytes) and the hardware settings byte, decoded
// and encoded from the report layouts by the emulator's own code.
//
// Plain values and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "kivemu/meter.h"

namespace kivemu {
namespace v1 {

struct configT {
    uint8_t first = 0;
    std::string snum = std::string(17, '\0');
    uint8_t direction = 1;
    uint8_t dirMode = 0;
    uint8_t filter50Hz = 1;
    uint8_t filterDim = 16;
    uint8_t filterSens = 2;
    uint8_t cutoff = 0;     // in flow-scale units
    uint8_t flowScale = 10; // tenths
    uint8_t kgainMin = 50;  // units of 0.04
    uint8_t kgainMax = 200; // units of 0.0025
    uint8_t compCurve = 0;
    uint8_t decPPL = 3;
    uint8_t outDigits = 2;
    uint8_t volUnit = 0;
    uint8_t digOutMode = 5;
    uint16_t sensGain = 10000;
    uint16_t adj4 = 200; // at 34: swapped against the second version
    uint16_t adj20 = 1000;
    uint32_t ppl = 123000;
    uint32_t doutThresh = 0; // output pulses
    uint32_t doutLen = 50;

    static configT decode(const bytesT& payload); // needs 50 bytes
    bytesT encode() const;                        // 50 bytes
};

// The hardware settings byte: pipe size code 0 (smallest) to 7 (largest),
// stored inverted in bits 1-3, and frequency output in bit 0.
uint8_t hwSettings(unsigned sizeCode, bool frequencyOutput);

} // namespace v1
} // namespace kivemu
