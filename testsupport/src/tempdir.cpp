#include "rux_testsupport.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rux::test {

tempDirT::tempDirT() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/rux-test-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed for " + tmpl);
    _path = tmpl;
}

tempDirT::~tempDirT() {
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

std::string tempDirT::sub(const std::string& name, bool mkdir) const {
    std::string p = _path + "/" + name;
    if (mkdir) {
        std::error_code ec;
        std::filesystem::create_directories(p, ec);
    }
    return p;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace rux::test
