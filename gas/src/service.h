// The program as a systemd service: its unit file "<name>.service" in the unit
// directory ($RUX_SYSTEMD_UNIT_DIR, else /etc/systemd/system), and systemctl
// where it is installed. Each operation prints its progress and errors on
// standard output. Main thread only.
#pragma once

#include <string>

namespace rux::impl {

struct serviceInfoT {
    std::string name;    // service (unit) name
    std::string descr;   // Description=
    std::string exePath; // absolute path of the executable
    std::string cmdLine; // appended to ExecStart after one blank, when not empty
    int appKind = 1;     // 1 and 3: unprivileged service account, 2: root
};

std::string serviceUnitDir();
std::string serviceUnitPath(const std::string& name);
// The unit file's text.
std::string serviceUnitText(const serviceInfoT& info);

bool serviceInstall(const serviceInfoT& info);
bool serviceUninstall(const std::string& name);
// 1 installed, 0 not installed, -1 the check failed.
int serviceCheck(const std::string& name);

} // namespace rux::impl
