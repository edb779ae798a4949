#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "hiddesc.h"

namespace {

using bytesT = std::vector<uint8_t>;
using rux::impl::hidDescInfoT;
using rux::impl::parseHidDescriptor;

bool parse(const bytesT& d, hidDescInfoT& out) {
    return parseHidDescriptor(d.data(), d.size(), out);
}

// A vendor-defined meter: report id 1, 64 bytes each way, no feature report.
const bytesT meter = {
    0x06, 0x00, 0xff, // Usage Page (vendor 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xa1, 0x01,       // Collection (Application)
    0x85, 0x01,       //   Report ID (1)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xff, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x40,       //   Report Count (64)
    0x09, 0x01,       //   Usage (1)
    0x81, 0x02,       //   Input (Data, Var, Abs)
    0x09, 0x01,       //   Usage (1)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0xc0,             // End Collection
};

TEST(hidDescriptor, NumberedReportsCountTheIdByte) {
    hidDescInfoT i;
    ASSERT_TRUE(parse(meter, i));
    EXPECT_TRUE(i.numbered);
    EXPECT_EQ(i.inputLen, 65);
    EXPECT_EQ(i.outputLen, 65);
    EXPECT_EQ(i.featureLen, 0);
    EXPECT_EQ(i.usagePage, 0xff00);
    EXPECT_EQ(i.usage, 1);
}

TEST(hidDescriptor, UnnumberedReportsStillCountOneByteForTheId) {
    // A boot keyboard's shape: 8 input bytes, 1 output byte (5 LED bits + 3 pad).
    const bytesT kbd = {0x05, 0x01, 0x09, 0x06, 0xa1, 0x01, 0x05, 0x07, 0x75, 0x01, 0x95,
                        0x08, 0x81, 0x02, 0x75, 0x08, 0x95, 0x01, 0x81, 0x01, 0x75, 0x08,
                        0x95, 0x06, 0x81, 0x00, 0x05, 0x08, 0x75, 0x01, 0x95, 0x05, 0x91,
                        0x02, 0x75, 0x03, 0x95, 0x01, 0x91, 0x01, 0xc0};
    hidDescInfoT i;
    ASSERT_TRUE(parse(kbd, i));
    EXPECT_FALSE(i.numbered);
    EXPECT_EQ(i.inputLen, 9);
    EXPECT_EQ(i.outputLen, 2);
    EXPECT_EQ(i.usagePage, 1);
    EXPECT_EQ(i.usage, 6);
}

TEST(hidDescriptor, LengthIsTheLargestReportOverIds) {
    const bytesT d = {
        0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x75, 0x08, // 8-bit fields for all ids
        0x85, 0x01, 0x95, 0x03, 0x81, 0x02,                   // id 1: 3 input bytes
        0x85, 0x02, 0x95, 0x10, 0x81, 0x02,                   // id 2: 16 input bytes ...
        0x75, 0x01, 0x95, 0x04, 0x81, 0x02,                   //       ... and 4 bits more: 17 bytes
        0x85, 0x03, 0x75, 0x08, 0x95, 0x07, 0xb1, 0x02,       // id 3: 7 feature bytes
        0xc0,
    };
    hidDescInfoT i;
    ASSERT_TRUE(parse(d, i));
    EXPECT_EQ(i.inputLen, 18);
    EXPECT_EQ(i.outputLen, 0); // no output report: sends must fail
    EXPECT_EQ(i.featureLen, 8);
}

TEST(hidDescriptor, PushAndPopRestoreGlobals) {
    const bytesT d = {
        0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x02,
        0xa4,                   // Push (size 8, count 2, id 1)
        0x85, 0x02, 0x95, 0x20, // id 2, count 32
        0x81, 0x02,             // id 2 input: 32 bytes
        0xb4,                   // Pop: back to id 1, count 2
        0x81, 0x02,             // id 1 input: 2 bytes
        0x91, 0x02,             // id 1 output: 2 bytes
        0xc0,
    };
    hidDescInfoT i;
    ASSERT_TRUE(parse(d, i));
    EXPECT_EQ(i.inputLen, 33);
    EXPECT_EQ(i.outputLen, 3);
}

TEST(hidDescriptor, LongItemsAreSkipped) {
    bytesT d = {0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01,
                0xfe, 0x03, 0x42, 0x95, 0x99, 0x81, // long item whose data looks like items
                0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0xc0};
    hidDescInfoT i;
    ASSERT_TRUE(parse(d, i));
    EXPECT_EQ(i.inputLen, 5);
}

TEST(hidDescriptor, ExtendedUsageCarriesItsPage) {
    const bytesT d = {0x0b, 0x02, 0x00, 0xa0, 0xff, // Usage (page 0xFFA0, usage 2)
                      0xa1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xc0};
    hidDescInfoT i;
    ASSERT_TRUE(parse(d, i));
    EXPECT_EQ(i.usagePage, 0xffa0);
    EXPECT_EQ(i.usage, 2);
}

TEST(hidDescriptor, MalformedInputIsRefused) {
    struct caseT {
        const char* what;
        bytesT d;
    } cases[] = {
        {"truncated short item", {0x06, 0x00}},
        {"truncated long item header", {0xfe, 0x05}},
        {"truncated long item data", {0xfe, 0x05, 0x00, 0x01, 0x02}},
        {"report id 0", {0x85, 0x00}},
        {"pop without push", {0xb4}},
        {"end without collection", {0xc0}},
        {"unclosed collection", {0xa1, 0x01}},
        {"field size above 256 bits", {0x76, 0x01, 0x01}},
        {"report too long",
         {0x75, 0xff, 0x96, 0x00, 0x30, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x81,
          0x02}},
    };
    for (auto& c : cases) {
        hidDescInfoT i;
        i.inputLen = 77;
        EXPECT_FALSE(parse(c.d, i)) << c.what;
        EXPECT_EQ(i.inputLen, 77) << c.what << ": output untouched";
    }
    bytesT deep;
    for (int k = 0; k < 17; ++k)
        deep.push_back(0xa4); // Push
    hidDescInfoT i;
    EXPECT_FALSE(parse(deep, i)) << "global stack bounded";
    bytesT huge(rux::impl::hidMaxDescriptor + 1, 0);
    EXPECT_FALSE(parse(huge, i)) << "descriptor size bounded";
}

TEST(hidDescriptor, EmptyDescriptorHasNoReports) {
    hidDescInfoT i;
    ASSERT_TRUE(parse({}, i));
    EXPECT_EQ(i.inputLen, 0);
    EXPECT_EQ(i.outputLen, 0);
    EXPECT_FALSE(i.numbered);
}

} // namespace
