// Test device that keeps every line it is given.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "rux_logger_xface.h"

class captureDevT : public rux::logDevT {
public:
    explicit captureDevT(std::string name = "capture") : rux::logDevT(std::move(name)) {}

    void _doLog(const std::string& text, int level) override {
        std::lock_guard<std::mutex> g(_m);
        _lines.emplace_back(level, text);
    }

    std::vector<std::pair<int, std::string>> lines() const {
        std::lock_guard<std::mutex> g(_m);
        return _lines;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (auto& l : lines())
            out.push_back(l.second);
        return out;
    }
    size_t count() const {
        std::lock_guard<std::mutex> g(_m);
        return _lines.size();
    }

private:
    mutable std::mutex _m;
    std::vector<std::pair<int, std::string>> _lines;
};
