// Sectioned key/value configuration text and the checked maps it is made of.
//
// A file is read line by line: "[name]" opens a section, "key = item, item" sets a
// key of the current section, whole lines starting with "#" are comments. Lines
// are at most 511 characters; the last line must end with a newline.
//
// cfgp::cmapT is a sorted map whose checked operations throw cfgp::exceptionT;
// configFileT::load catches those itself and never throws: on failure it writes
// one diagnostic line to its diagnostic stream (standard error unless changed)
// and returns false. Not thread-safe: one owner per object.
#pragma once

#include <exception>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cfgp {

// Failure of a checked map operation; caught by the configuration loaders.
class exceptionT : public std::exception {
public:
    enum codeT { enINSERT = 0, enEXISTS = 1, enNO_KEYWORD = 3, enNO_SECTION = 4 };

    exceptionT(int c, std::string t) : code(c), text(std::move(t)) {}
    const char* what() const noexcept override { return text.c_str(); }

    int code;
    std::string text;
};

// Texts carried by exceptionT for the fixed codes.
extern const char* const g_insertFailed; // "map key insert failed"
extern const char* const g_keyExists;    // "specified key alredy exists in the map"

// Sorted map with checked lookup and insertion. `code` is the exception code of a
// missing key and `kind` its name in the text "no such <kind>".
template <class K, class V> class cmapT : public std::map<K, V> {
public:
    cmapT(int code, std::string kind) : _code(code), _kind(std::move(kind)) {}

    // The value of `key`; throws (code, "no such <kind>") when there is none.
    V& get(const K& key) {
        auto it = this->find(key);
        if (it == this->end())
            _missing();
        return it->second;
    }
    const V& get(const K& key) const {
        auto it = this->find(key);
        if (it == this->end())
            _missing();
        return it->second;
    }

    // Inserts a new key; throws code 1 when the key is already there.
    V& add(const K& key, V value) {
        auto res = this->emplace(key, std::move(value));
        if (!res.second)
            throw exceptionT(exceptionT::enEXISTS, g_keyExists);
        return res.first->second;
    }

    int code() const { return _code; }
    const std::string& kind() const { return _kind; }

private:
    [[noreturn]] void _missing() const { throw exceptionT(_code, "no such " + _kind); }

    int _code;
    std::string _kind;
};

} // namespace cfgp

class configFileT {
public:
    // Longest accepted line, line end not counted.
    static constexpr std::size_t maxLine = 511;

    // The comma-separated items of one key line, each trimmed; never empty.
    class valueT : public std::vector<std::string> {
    public:
        // The items joined with ", ".
        std::string str() const;
        operator std::string() const { return str(); }
    };

    class sectionT : public cfgp::cmapT<std::string, valueT> {
    public:
        sectionT() : cmapT(cfgp::exceptionT::enNO_KEYWORD, "keyword") {}
    };

    class sectionMapT : public cfgp::cmapT<std::string, sectionT> {
    public:
        sectionMapT() : cmapT(cfgp::exceptionT::enNO_SECTION, "section") {}
    };

    configFileT();

    // Replaces the contents with the file at `path`. A file that cannot be opened
    // gives false without a message; a malformed one gives false and one line on
    // the diagnostic stream. The contents are empty after a failure.
    bool load(const std::string& path);
    // The same over a stream; `path` only names the source in diagnostics.
    bool load(std::istream& in, const std::string& path);

    bool hasSection(const std::string& name) const { return _sections.count(name) != 0; }
    // Throws cfgp::exceptionT code 4 for an unknown section.
    const sectionT& section(const std::string& name) const { return _sections.get(name); }
    const sectionMapT& sections() const { return _sections; }

    // Where diagnostics go; the stream must outlive the object's use of it.
    void diagStream(std::ostream& os) { _diag = &os; }
    std::ostream& diagStream() const { return *_diag; }

private:
    // Handles one complete line; false after writing a diagnostic.
    bool _parseLine(const std::string& raw, const std::string& path, unsigned lineNo,
                    sectionT*& current);

    sectionMapT _sections;
    std::ostream* _diag; // diagnostic sink, std::cerr by default
};
