// Value conversions between the client schema's decimal numbers and the
// integer fields of meter reports, and the log lines of those conversions.
//
// Writing: a client value is scaled in extended precision and converted toward
// zero, except that a result within a few single-precision steps below an
// integer is taken as that integer: the client's 0.7 arrives as 0.699999988,
// and 0.7 x 10 must reach the meter as 7, not 6. A value that is NaN,
// infinite, negative or beyond the field's width cannot be stored and is
// refused, never wrapped or truncated into another number.
// Reading: integer fields scaled down come back as the float nearest to the
// decimal value (150000 at exponent 5 reads as exactly 1.5).
//
// Plain functions without state; any thread. Log lines go to log ID "driver".
#pragma once

#include <string>

namespace q7xx {

// The integer the meter is to store for the scaled client value `v`; false
// when `v` is not finite, negative, or (after conversion) above `max`.
bool toField(long double v, unsigned long long max, unsigned long long& out);

// toField for a one-, two- or four-byte unsigned field; on refusal logs at
// ERROR, tag "fromCbusMsg", the field `name` with the client's value.
bool toByte(const char* name, float client, long double scaled, unsigned char& out);
bool toU16(const char* name, float client, long double scaled, unsigned short& out);
bool toU32(const char* name, float client, long double scaled, unsigned int& out);
// The same for an unsigned client number into a narrower field.
bool toByte(const char* name, unsigned long long client, unsigned char& out);
bool toU16(const char* name, unsigned long long client, unsigned short& out);
// A client float stored as a float: refused when NaN or infinite.
bool finite(const char* name, float client);
// Refused (and logged as above) unless finite and not negative.
bool nonNegative(const char* name, float client);

// `v` / 10^e, step by step in extended precision; decimal() rounds that to
// float once.
long double scaleDown(long double v, int e);
float decimal(long double v, int e);

// Splits a client PPL value into the mantissa and decimal exponent the meter
// stores: exponent 0 above 99999, else the smallest of 1 to 5 that lifts the
// mantissa above 99999. False (and an ERROR line) when it cannot be stored.
bool splitPPL(float ppl, unsigned int& mantissa, unsigned char& exponent);

// Single-precision volume factor of a volume unit byte (m3, dm3, US gallon);
// false for any other byte.
bool volumeFactor(unsigned char unit, float& factor);

// One line on log ID "driver" at `level` with `function` as its tag; the
// newline is added here.
void logLine(int level, const char* function, const std::string& text);

} // namespace q7xx
