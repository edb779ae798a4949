// The device console's listing: column layout and escaping of device texts.
#include <gtest/gtest.h>

#include "devlist.h"
#include "kivsvc_common.h"

namespace {

class fakeDevT : public kivDevT {
public:
    fakeDevT(int model, std::string snum, std::string hw, std::string sw) {
        _model = model;
        _snum = std::move(snum);
        _hwver = std::move(hw);
        _swver = std::move(sw);
    }
    bool getConfig(kivsvc::configT&) const override { return false; }
    bool restoreLastSavedConfig(kivsvc::configT&) override { return false; }
    bool setConfig(const kivsvc::configT&, bool) override { return false; }
    bool getStatus(kivsvc::statusT&) const override { return false; }
    bool getMeasure(kivsvc::measureT&) const override { return false; }
    bool eraseFirmware(const kivsvc::bootAppDataT&) override { return false; }
    bool writeFirmware(const kivsvc::fwBlockT&) override { return false; }
    bool getFirmwareCRC(kivsvc::bootAppDataT&) const override { return false; }
    bool setBootAppData(const kivsvc::bootAppDataT&) override { return false; }
    bool getBootAppData(kivsvc::bootAppDataT&) const override { return false; }
    bool reset(resetT) override { return false; }
};

using mapT = std::map<int, std::shared_ptr<const kivDevT>>;

std::shared_ptr<const kivDevT> dev(int model, const std::string& snum, const std::string& hw,
                                   const std::string& sw) {
    return std::make_shared<fakeDevT>(model, snum, hw, sw);
}

} // namespace

TEST(deviceListing, emptyDatabaseGivesOnlyTheHeader) {
    EXPECT_EQ(deviceListing(mapT{}), "ID   MODEL   SNUM   HWVER   SWVER\n");
}

TEST(deviceListing, shortTextsKeepTheNarrowColumns) {
    mapT m{{12, dev(kivsvc::reportDeviceT::Q720, "1234567", "1.0", "2.3")}};
    EXPECT_EQ(deviceListing(m), "ID   MODEL   SNUM   HWVER   SWVER\n"
                                "12   Q720    1234567" "1.0     " "2.3\n");
}

TEST(deviceListing, longSerialNumberWidensItsColumnAndTheHeader) {
    mapT m{{0, dev(kivsvc::reportDeviceT::Q710, "ABCDEFGHIJ", "1.0", "2.3")},
           {3, dev(kivsvc::reportDeviceT::Q720, "S1", "1.1", "2.4")}};
    std::string text = deviceListing(m);
    EXPECT_EQ(text, "ID   MODEL   SNUM         HWVER   SWVER\n"
                    "0    Q710    ABCDEFGHIJ   1.0     2.3\n"
                    "3    Q720    S1           1.1     2.4\n");
}

TEST(deviceListing, longHardwareVersionWidensItsColumn) {
    mapT m{{1, dev(kivsvc::reportDeviceT::Q720, "S", "123456789", "9")}};
    EXPECT_EQ(deviceListing(m), "ID   MODEL   SNUM   HWVER       SWVER\n"
                                "1    Q720    S      123456789   9\n");
}

TEST(deviceListing, bootloadersAndOtherModelsAreUnknown) {
    mapT m{{0, dev(kivsvc::reportDeviceT::NBOOT, "B", "01", "00000001")},
           {1, dev(kivsvc::reportDeviceT::Q850, "C", "1", "1")},
           {2, dev(0, "D", "1", "1")}};
    std::string text = deviceListing(m);
    EXPECT_NE(text.find("0    UNKN    B"), std::string::npos);
    EXPECT_NE(text.find("1    UNKN    C"), std::string::npos);
    EXPECT_NE(text.find("2    UNKN    D"), std::string::npos);
}

TEST(deviceListing, linesFollowIdentifierOrder) {
    mapT m{{10, dev(1, "TEN", "1", "1")}, {2, dev(1, "TWO", "1", "1")}};
    std::string text = deviceListing(m);
    EXPECT_LT(text.find("TWO"), text.find("TEN"));
}

TEST(deviceListing, controlBytesFromTheDeviceAreEscaped) {
    // An escape sequence that would clear the operator's screen, a NUL, a
    // high byte and a backslash.
    std::string snum("\x1b[2J\0\xff\\", 7);
    mapT m{{0, dev(1, snum, "1\n", "2")}};
    std::string text = deviceListing(m);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    const std::string esc = "\\x1b[2J\\x00\\xff\\x5c";
    EXPECT_NE(text.find(esc), std::string::npos);
    EXPECT_NE(text.find("1\\x0a"), std::string::npos);
    // Widths follow the escaped text: 19 characters widen the column to 22.
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              "ID   MODEL   SNUM" + std::string(3 + 15, ' ') + "HWVER   SWVER\n");
    EXPECT_NE(text.find(esc + "   1\\x0a   2\n"), std::string::npos);
}

TEST(escapeDeviceText, nulPaddingIsCutAndInnerNulsAreShown) {
    EXPECT_EQ(escapeDeviceText(std::string("SN01\0\0\0", 7)), "SN01");
    EXPECT_EQ(escapeDeviceText(std::string("S\0N\0", 4)), "S\\x00N");
}

TEST(escapeDeviceText, printableTextIsUnchanged) {
    EXPECT_EQ(escapeDeviceText("Q7.20 SN-0042 ~"), "Q7.20 SN-0042 ~");
    EXPECT_EQ(escapeDeviceText("\x7f"), "\\x7f");
}
