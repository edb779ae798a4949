// The second meter protocol version's payloads as an emulated meter holds
// them: configuration (Q710 and Q720 layouts), extended configuration and
// measurement, decoded and encoded from the report layouts by the emulator's
// own code, so that tests hold the host's reading of a report against a
// second, independent one.
//
// Plain values and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "kivemu/meter.h"

namespace kivemu {
namespace v2 {

// Configuration payload (60 bytes).
struct configT {
    uint8_t first = 0;
    std::string snum = std::string(17, '\0'); // bytes 1-17
    uint8_t direction = 1;                    // 1 forward, 255 reverse
    uint8_t dirMode = 0;                      // 0 unidirectional, 1 bidirectional
    uint8_t filter50Hz = 1;                   // 1 50 Hz, 0 60 Hz
    uint8_t filterDim = 16;
    uint8_t filterSens = 2;
    uint8_t cutoff = 0;     // written by the host only
    uint8_t flowScale = 10; // tenths
    uint8_t byte25 = 0;
    uint8_t byte26 = 0;
    uint8_t byte27 = 0; // Q720: compensation curve; Q710: sensor type
    uint8_t decPPL = 3;
    uint8_t outDigits = 2;
    uint8_t volUnit = 0;    // 0 m3, 1 dm3, 2 US gallon
    uint8_t digOutMode = 5; // 0 off .. 5 pulse
    uint16_t sensGain = 10000;
    uint16_t adj20 = 1000;
    uint16_t adj4 = 200;
    uint32_t ppl = 123000; // mantissa
    uint32_t doutThresh = 0;
    uint32_t doutLen = 50;
    uint16_t customDiam = 0;

    static configT decode(const bytesT& payload); // needs 52 bytes
    bytesT encode() const;                        // 60 bytes
    // The PPL value the two fields stand for.
    double pplValue() const;
};

// Extended configuration payload (60 bytes).
struct extdT {
    float flow4 = 0;
    float flow20 = 10;
    float doutThresh = 0;
    float doutThresh2 = 0;
    float doutHyst = 0;
    uint8_t flowUnit = 1; // dm3/min
    uint8_t gainMode = 0;
    uint8_t byte22 = 0; // bit 7: reset the totaliser; bits 0-6: frequency simulation
    uint8_t simCurrent = 0;
    uint8_t simDigOut = 0;
    uint8_t simDir = 0;
    uint16_t simFreqOut = 0;
    float simCurrentOut = 4;
    uint8_t simDigitalOut = 0;
    uint8_t simDirection = 1;
    uint16_t cutoffDelay = 5000;
    float cutoffThresh = 0;
    float kgainMin = 0.5f;
    float kgainMax = 2;
    float factorySensGain = 1;

    static extdT decode(const bytesT& payload); // needs 52 bytes
    bytesT encode() const;                      // 60 bytes
};

// Measurement payload (60 bytes).
struct measureT {
    uint8_t alarm = 0;
    uint8_t direction = 1;
    uint32_t freq = 0;
    float totFlow = 0;
    float flow = 0;
    float current = 4;
    float kfactor = 1;
    uint32_t curve = 0;

    static measureT decode(const bytesT& payload);
    bytesT encode() const;
};

// What a meter of this version reports for a flow of `flow` (signed, its
// sign the direction) and a totalised volume `total`, under `cfg`: output
// frequency from the PPL value, current between 4 and 20 mA over the range of
// `extd`, the compensation curve of the Q720 layout.
measureT measurement(const configT& cfg, const extdT& extd, float flow, double total, bool q710);

} // namespace v2
} // namespace kivemu
