#include "service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <vector>

namespace rux::impl {

namespace {

// The account a unit runs under: appKind 2 is root; 1 and 3 an unprivileged
// system account of the installation ("rux", or $RUX_SERVICE_USER at install).
std::string serviceUser(int appKind) {
    if (appKind == 2)
        return "root";
    const char* user = getenv("RUX_SERVICE_USER");
    return user && *user ? user : "rux";
}

// A value systemd reads literally: no line breaks, '%' specifiers escaped.
std::string unitValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '%')
            out += "%%";
        else if (c == '\n' || c == '\r')
            out += ' ';
        else
            out += c;
    }
    return out;
}

// A quoted word of ExecStart=.
std::string unitQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : unitValue(text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string findSystemctl() {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon - start);
        std::string cand = (dir.empty() ? std::string(".") : dir) + "/systemctl";
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        if (colon == std::string::npos)
            return std::string();
        start = colon + 1;
    }
}

// Runs systemctl with the arguments; true when it exits with 0.
bool systemctl(const std::string& exe, const std::vector<std::string>& args) {
    std::cout << std::flush;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("systemctl"));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // The skeleton's blocked quit signals and ignored SIGPIPE would outlive exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void reportSystemctl(const std::string& exe, const std::vector<std::string>& args) {
    if (systemctl(exe, args))
        return;
    std::cout << "warning: \"systemctl";
    for (const std::string& a : args)
        std::cout << " " << a;
    std::cout << "\" failed" << std::endl;
}

// Tells systemd about the changed unit directory, where it can be told.
void reload(const std::string& exe) {
    if (exe.empty())
        std::cout << "systemctl not found: systemd must reload its units "
                     "(\"systemctl daemon-reload\")"
                  << std::endl;
    else
        reportSystemctl(exe, {"daemon-reload"});
}

} // namespace

std::string serviceUnitDir() {
    const char* dir = getenv("RUX_SYSTEMD_UNIT_DIR");
    return dir && *dir ? dir : "/etc/systemd/system";
}

std::string serviceUnitPath(const std::string& name) {
    return serviceUnitDir() + "/" + name + ".service";
}

std::string serviceUnitText(const serviceInfoT& info) {
    std::string exec = unitQuoted(info.exePath);
    if (!info.cmdLine.empty())
        exec += " " + unitValue(info.cmdLine);
    return "[Unit]\n"
           "Description=" +
           unitValue(info.descr.empty() ? info.name : info.descr) +
           "\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           exec +
           "\n"
           "Restart=on-failure\n"
           "User=" +
           serviceUser(info.appKind) +
           "\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

int serviceCheck(const std::string& name) {
    struct stat st;
    if (stat(serviceUnitPath(name).c_str(), &st) == 0)
        return 1;
    if (errno == ENOENT || errno == ENOTDIR)
        return 0;
    std::cout << "error: failed to enumerate services" << std::endl;
    return -1;
}

bool serviceInstall(const serviceInfoT& info) {
    if (serviceCheck(info.name) == 1) {
        std::cout << "service is alredy installed" << std::endl;
        return true;
    }
    std::cout << "installing service... " << std::flush;
    const std::string path = serviceUnitPath(info.name);
    const std::string tmp = path + ".tmp";
    const std::string text = serviceUnitText(info);
    // Written aside and renamed, so systemd never reads half a unit.
    bool ok = false;
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        fchmod(fd, 0644); // whatever the umask: systemd reads it as another user
        ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
        ok = ::close(fd) == 0 && ok;
        ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
        if (!ok)
            ::unlink(tmp.c_str());
    }
    if (!ok) {
        std::cout << "error!\nfailed to add service to database" << std::endl;
        return false;
    }
    std::cout << "done" << std::endl;
    const std::string exe = findSystemctl();
    reload(exe);
    if (!exe.empty())
        reportSystemctl(exe, {"enable", info.name + ".service"});
    return true;
}

bool serviceUninstall(const std::string& name) {
    std::cout << "uninstalling service... " << std::flush;
    const std::string path = serviceUnitPath(name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            std::cout << "error\nservice not found" << std::endl;
        else
            std::cout << "error\nfailed to open service, err = " << errno << std::endl;
        return false;
    }
    const std::string exe = findSystemctl();
    if (!exe.empty()) {
        // Failures here leave a unit that is stopped or was never enabled.
        systemctl(exe, {"stop", name + ".service"});
        systemctl(exe, {"disable", name + ".service"});
    }
    if (::unlink(path.c_str()) != 0) {
        std::cout << "error\nfailed to remove service, err = " << errno << std::endl;
        return false;
    }
    std::cout << "done" << std::endl;
    reload(exe);
    return true;
}

} // namespace rux::impl
