#include "ipc/configfile.h"

#include <fstream>
#include <iostream>

#include <sys/stat.h>

namespace cfgp {
const char* const g_insertFailed = "map key insert failed";
const char* const g_keyExists = "specified key alredy exists in the map";
} // namespace cfgp

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

void splitItems(const std::string& value, configFileT::valueT& out) {
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string::npos) {
            out.push_back(trim(value.substr(start)));
            return;
        }
        out.push_back(trim(value.substr(start, comma - start)));
        start = comma + 1;
    }
}

void parseError(std::ostream& os, const std::string& path, unsigned line, const char* what) {
    os << "parse error at " << path << ":" << line << ", " << what << "\n" << std::flush;
}

} // namespace

std::string configFileT::valueT::str() const {
    std::string out;
    for (std::size_t i = 0; i < size(); ++i) {
        if (i)
            out += ", ";
        out += (*this)[i];
    }
    return out;
}

configFileT::configFileT() : _diag(&std::cerr) {}

bool configFileT::load(const std::string& path) {
    _sections.clear();
    struct stat st;
    // A directory opens as a stream on Linux but is no file to read.
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open())
        return false;
    return load(in, path);
}

bool configFileT::load(std::istream& in, const std::string& path) {
    _sections.clear();
    std::streambuf* sb = in.rdbuf();
    sectionT* current = nullptr;
    unsigned lineNo = 0; // complete lines handled so far
    std::string line;
    bool ok = true;
    for (;;) {
        line.clear();
        bool terminated = false, tooLong = false;
        for (;;) {
            int c = sb ? sb->sbumpc() : std::char_traits<char>::eof();
            if (c == std::char_traits<char>::eof())
                break;
            if (c == '\n') {
                terminated = true;
                break;
            }
            if (line.size() == maxLine) {
                tooLong = true;
                break;
            }
            line.push_back(char(c));
        }
        if (tooLong) {
            parseError(*_diag, path, lineNo + 1, "line longer than 511 characters");
            ok = false;
            break;
        }
        if (!terminated) {
            if (!line.empty()) {
                parseError(*_diag, path, lineNo + 1, "expected newline at eof");
                ok = false;
            }
            break;
        }
        ++lineNo;
        if (!_parseLine(line, path, lineNo, current)) {
            ok = false;
            break;
        }
    }
    if (!ok)
        _sections.clear();
    return ok;
}

bool configFileT::_parseLine(const std::string& raw, const std::string& path, unsigned lineNo,
                             sectionT*& current) {
    std::string text = trim(raw);
    if (text.empty() || text[0] == '#')
        return true;
    try {
        if (text[0] == '[') {
            std::size_t close = text.rfind(']');
            if (close == std::string::npos) {
                parseError(*_diag, path, lineNo, "expected ']'");
                return false;
            }
            current = &_sections.add(text.substr(1, close - 1), sectionT());
            return true;
        }
        std::size_t eq = text.find('=');
        if (eq == std::string::npos) {
            parseError(*_diag, path, lineNo, "expected '='");
            return false;
        }
        if (!current)
            throw cfgp::exceptionT(_sections.code(), "no such " + _sections.kind());
        valueT value;
        splitItems(trim(text.substr(eq + 1)), value);
        current->add(trim(text.substr(0, eq)), std::move(value));
        return true;
    } catch (const cfgp::exceptionT& e) {
        *_diag << "caught exception at " << path << ":" << lineNo << ", reason: " << e.text << "\n"
               << std::flush;
        return false;
    }
}
