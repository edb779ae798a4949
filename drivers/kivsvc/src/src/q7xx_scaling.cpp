#include "q7xx/scaling.h"

#include <cmath>
#include <limits>
#include <sstream>

#include "rux_logger_xface.h"

namespace q7xx {

namespace {

// How far below an integer a scaled client value may fall and still be that
// integer, relative to the value: four single-precision steps. The client's
// float carries one rounding (2^-24), a float scale factor and exp10 one each.
constexpr long double relTolerance = 1.0L / (1 << 22);

void refuse(const char* name, const std::string& value) {
    logLine(rux::log::ERROR, "fromCbusMsg",
            std::string(name) + "=" + value + " cannot be stored, request refused");
}

template <typename T> std::string text(T v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

template <typename F>
bool scaled(const char* name, float client, long double v, unsigned long long max, F& out) {
    unsigned long long r = 0;
    if (!toField(v, max, r)) {
        refuse(name, text(client));
        return false;
    }
    out = static_cast<F>(r);
    return true;
}

} // namespace

bool toField(long double v, unsigned long long max, unsigned long long& out) {
    if (!std::isfinite(v) || v < 0)
        return false;
    long double r = std::truncl(v);
    if (r != v) {
        const long double up = r + 1;
        const long double tolerance = (v > 1 ? v : 1) * relTolerance;
        if (up - v <= tolerance && up - v < 0.5L)
            r = up;
    }
    if (r > static_cast<long double>(max))
        return false;
    out = static_cast<unsigned long long>(r);
    return true;
}

bool toByte(const char* name, float client, long double v, unsigned char& out) {
    return scaled(name, client, v, 0xFF, out);
}

bool toU16(const char* name, float client, long double v, unsigned short& out) {
    return scaled(name, client, v, 0xFFFF, out);
}

bool toU32(const char* name, float client, long double v, unsigned int& out) {
    return scaled(name, client, v, 0xFFFFFFFFull, out);
}

bool toByte(const char* name, unsigned long long client, unsigned char& out) {
    if (client > 0xFF) {
        refuse(name, text(client));
        return false;
    }
    out = static_cast<unsigned char>(client);
    return true;
}

bool toU16(const char* name, unsigned long long client, unsigned short& out) {
    if (client > 0xFFFF) {
        refuse(name, text(client));
        return false;
    }
    out = static_cast<unsigned short>(client);
    return true;
}

bool finite(const char* name, float client) {
    if (std::isfinite(client))
        return true;
    refuse(name, text(client));
    return false;
}

bool nonNegative(const char* name, float client) {
    if (std::isfinite(client) && !(client < 0))
        return true;
    refuse(name, text(client));
    return false;
}

long double scaleDown(long double v, int e) {
    for (int i = 0; i < e && v != 0; ++i)
        v /= 10.0L;
    return v;
}

float decimal(long double v, int e) {
    return static_cast<float>(scaleDown(v, e));
}

bool splitPPL(float ppl, unsigned int& mantissa, unsigned char& exponent) {
    if (!std::isfinite(ppl) || ppl < 0) {
        refuse("ppl", text(ppl));
        return false;
    }
    long double m = ppl;
    int e = 0;
    if (m <= 99999) {
        e = 1;
        m *= 10;
        while (m <= 99999 && e < 5) {
            m *= 10;
            ++e;
        }
    }
    if (!scaled("ppl", ppl, m, 0xFFFFFFFFull, mantissa))
        return false;
    exponent = static_cast<unsigned char>(e);
    return true;
}

bool volumeFactor(unsigned char unit, float& factor) {
    static const float factors[] = {1.0f, 0.001f, 0.26417f};
    if (unit > 2)
        return false;
    factor = factors[unit];
    return true;
}

void logLine(int level, const char* function, const std::string& line) {
    rux::loggerT log("driver");
    rux::loggerT::logbufT l(log, level, function);
    l << line << "\n";
}

} // namespace q7xx
