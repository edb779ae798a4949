// Test helper: a private runtime directory for local socket names, set in
// RUX_RUNTIME_DIR for the duration of one test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

class runtimeDirT : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rux-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ::setenv("RUX_RUNTIME_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("RUX_RUNTIME_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};
