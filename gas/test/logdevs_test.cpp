// The skeleton's list of log devices.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "gas/logdevs.h"

namespace {

class nullDevT : public rux::logDevT {
public:
    explicit nullDevT(const std::string& name) : logDevT(name) {}
    void _doLog(const std::string&, int) override {}
};

std::string names() {
    std::list<std::shared_ptr<rux::logDevT>> devs = {std::make_shared<nullDevT>("stale")};
    rux::getLogDevices(devs);
    std::string out;
    for (const auto& d : devs)
        out += d->name() + " ";
    return out;
}

TEST(gasLogDevices, ListedOncePerNameInOrder) {
    auto first = std::make_shared<nullDevT>("alpha");
    EXPECT_TRUE(rux::registerLogDevice(first));
    EXPECT_TRUE(rux::registerLogDevice(std::make_shared<nullDevT>("beta")));
    EXPECT_FALSE(rux::registerLogDevice(std::make_shared<nullDevT>("alpha")));
    EXPECT_FALSE(rux::registerLogDevice(nullptr));
    EXPECT_EQ(names(), "alpha beta ");
    std::list<std::shared_ptr<rux::logDevT>> devs;
    rux::getLogDevices(devs);
    EXPECT_EQ(devs.front(), first); // shared, not copied
}

} // namespace
