#include "sal/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sal/sysinfo.h"

namespace rux {

namespace {

constexpr char kSep = sysInfo::pathSep;

// Splits on every single separator. The root alone is one empty component.
void components(const std::string& dir, std::vector<std::string>& list, bool keepEmpty) {
    if (dir.empty())
        return;
    if (dir == std::string(1, kSep)) {
        if (keepEmpty)
            list.emplace_back();
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t sep = dir.find(kSep, start);
        std::string part = dir.substr(start, sep == std::string::npos ? sep : sep - start);
        if (keepEmpty || !part.empty())
            list.push_back(std::move(part));
        if (sep == std::string::npos)
            break;
        start = sep + 1;
    }
}

bool exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

} // namespace

void splitPathName(const std::string& path, std::string& dir, std::string& name) {
    size_t last = path.rfind(kSep);
    if (last == std::string::npos) {
        dir.clear();
        name = path;
        return;
    }
    name = path.substr(last + 1);
    size_t runStart = path.find_last_not_of(kSep, last);
    if (runStart == std::string::npos)
        dir = std::string(1, kSep); // the root: keep the path absolute
    else
        dir = path.substr(0, runStart + 1);
}

void parsePath(const std::string& path, std::vector<std::string>& list, std::string& name) {
    list.clear();
    std::string dir;
    splitPathName(path, dir, name);
    components(dir, list, false);
}

void parsePath2(const std::string& path, std::vector<std::string>& list, std::string& name) {
    list.clear();
    std::string dir;
    splitPathName(path, dir, name);
    components(dir, list, true);
}

bool makeDirRec(const std::string& path) {
    if (path.empty())
        return false;
    std::vector<std::string> parts;
    std::string name;
    parsePath2(path, parts, name);
    if (!name.empty())
        parts.push_back(name);
    std::string prefix;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i == 0 && parts[i].empty()) {
            prefix = std::string(1, kSep);
            continue;
        }
        if (i > 0 && (prefix.empty() || prefix.back() != kSep))
            prefix += kSep;
        prefix += parts[i];
        if (!exists(prefix) && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool makeDirRec(const char* path) {
    return path && makeDirRec(std::string(path));
}

bool listDir(const std::string& dir, std::vector<std::string>& list) {
    if (dir.empty())
        return false;
    std::string d = dir;
    while (d.size() > 1 && d.back() == kSep)
        d.pop_back();
    std::unique_ptr<DIR, int (*)(DIR*)> h(::opendir(d.c_str()), ::closedir);
    if (!h)
        return false;
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(h.get());
        if (!e) {
            if (errno != 0)
                return false;
            break;
        }
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(std::move(n));
    }
    std::sort(names.begin(), names.end());
    list.insert(list.end(), names.begin(), names.end());
    return true;
}

namespace {
bool listTree(const std::string& dir, const std::string& rel, std::vector<std::string>& list,
              int depth) {
    std::vector<std::string> names;
    if (depth > 256 || !listDir(dir, names))
        return false;
    for (const auto& n : names) {
        std::string full = dir + kSep + n;
        std::string relName = rel.empty() ? n : rel + kSep + n;
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0)
            return false;
        list.push_back(relName);
        if (S_ISDIR(st.st_mode) && !listTree(full, relName, list, depth + 1))
            return false;
    }
    return true;
}
} // namespace

bool listDirRec(const std::string& dir, std::vector<std::string>& list) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == kSep)
        d.pop_back();
    return !d.empty() && listTree(d, "", list, 0);
}

bool removeDirRec(const std::string& dir) {
    std::vector<std::string> tree;
    if (!listDirRec(dir, tree))
        return false;
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        std::string full = dir + kSep + *it;
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            ::rmdir(full.c_str());
        else
            ::unlink(full.c_str());
    }
    return ::rmdir(dir.c_str()) == 0;
}

bool getRealPath(const std::string& path, std::string& out) {
    out.clear();
    if (path.empty())
        return false;
    std::string full;
    if (path[0] == kSep) {
        full = path;
    } else {
        std::string cwd(PATH_MAX, '\0');
        while (!::getcwd(&cwd[0], cwd.size())) {
            if (errno != ERANGE)
                return false;
            cwd.resize(cwd.size() * 2);
        }
        cwd.resize(cwd.find('\0'));
        full = cwd + kSep + path;
    }
    // Lexical clean-up: "." and empty parts vanish, ".." takes one back.
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= full.size()) {
        size_t sep = full.find(kSep, start);
        if (sep == std::string::npos)
            sep = full.size();
        std::string part = full.substr(start, sep - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = sep + 1;
    }
    out = std::string(1, kSep);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += kSep;
        out += parts[i];
    }
    if (path.back() == kSep && !parts.empty())
        out += kSep;
    return true;
}

int64_t getFileSize(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 0 : int64_t(st.st_size);
}

} // namespace rux
