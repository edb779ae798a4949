// Facts about the platform, filled when the library is loaded and constant
// afterwards, so readable from any thread.
#pragma once

namespace rux {

struct sysInfo {
    static const char* const name; // platform build, for version lines
    static const unsigned ncpu;    // online processors
    static const unsigned pageSize;
    static constexpr char pathSep = '/';
};

namespace impl {
unsigned getNumOfCPUs();
unsigned getPageSize();
} // namespace impl

} // namespace rux
