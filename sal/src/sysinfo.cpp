#include "sal/sysinfo.h"

#include <unistd.h>

#include "sal/assert.h"

namespace rux {

namespace impl {

unsigned getNumOfCPUs() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    RUX_OS_CHECK(n > 0);
    return unsigned(n);
}

unsigned getPageSize() {
    long n = sysconf(_SC_PAGESIZE);
    RUX_OS_CHECK(n > 0);
    return unsigned(n);
}

} // namespace impl

const char* const sysInfo::name = "linux-x86_64";
const unsigned sysInfo::ncpu = impl::getNumOfCPUs();
const unsigned sysInfo::pageSize = impl::getPageSize();

} // namespace rux
