// Frame layout, checksum, field helpers and exp10 of the meter reports.
#include <climits>
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "q7xx/usbmsg.h"
#include "q7xx_test_support.h"

using q7xxtest::bytesT;
using q7xxtest::report;
using q7xxtest::sum8;

namespace {

// A message with a configurable payload, to exercise the frame rules alone.
class payloadMsgT : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return 0x04; }
    unsigned char mid() const override { return 0x09; }

    bytesT out;         // payload _format writes
    int formatFail = 0; // when negative, _format fails with it
    int need = 0;       // payload bytes _parse requires
    int parseCalls = 0;

protected:
    int _format(unsigned char* pos) const override {
        if (formatFail < 0)
            return formatFail;
        std::memcpy(pos, out.data(), out.size());
        return static_cast<int>(out.size());
    }
    int _parse(const unsigned char*, int len) override {
        ++parseCalls;
        return len < need ? -1 : need;
    }
};

// Opens the field helpers to the tests.
struct fieldsT : q7xxUSBMsgT {
    using q7xxUSBMsgT::_read2;
    using q7xxUSBMsgT::_read4;
    using q7xxUSBMsgT::_read_float;
    using q7xxUSBMsgT::_write2;
    using q7xxUSBMsgT::_write4;
    using q7xxUSBMsgT::_write_float;
};

} // namespace

TEST(Q7xxUSBMsgT, FormatWritesFrameWithWrappingChecksumOnly) {
    payloadMsgT m;
    m.out = {0xFF, 0xFF, 0x10};
    bytesT buf(16, 0xEE); // sentinel: nothing behind the frame may change
    ASSERT_EQ(m.format(buf.data()), 6);
    bytesT want{0x04, 0x09, 0xFF, 0xFF, 0x10, 0x1B}; // 0x21B wrapped
    want.resize(16, 0xEE);
    EXPECT_EQ(buf, want);

    const unsigned char wrap[] = {0xFF, 0x02};
    EXPECT_EQ(m.calc_cksum(wrap, 2), 0x01);
    EXPECT_EQ(m.calc_cksum(nullptr, 0), 0x00);
}

TEST(Q7xxUSBMsgT, FormatReportFillsTheWholeReportOrNothing) {
    payloadMsgT m;
    m.out = {0x01, 0x02};
    bytesT buf(64, 0xAA);
    ASSERT_EQ(m.formatReport(buf.data(), buf.size()), 5);
    bytesT want{0x04, 0x09, 0x01, 0x02, 0x10};
    want.resize(64, 0);
    EXPECT_EQ(buf, want);

    // A failing payload formatter: its result, and the report untouched.
    payloadMsgT failing;
    failing.formatFail = -7;
    bytesT kept(64, 0xAA);
    EXPECT_EQ(failing.formatReport(kept.data(), kept.size()), -7);
    EXPECT_EQ(kept, bytesT(64, 0xAA));

    // A device announcing an output report shorter than the frame gets nothing.
    payloadMsgT big;
    big.out = bytesT(61, 0x11);
    bytesT small(8, 0xAA);
    EXPECT_LT(big.formatReport(small.data(), small.size()), 0);
    EXPECT_EQ(small, bytesT(8, 0xAA));
    bytesT exact(64, 0xAA);
    EXPECT_EQ(big.formatReport(exact.data(), exact.size()), 64);
    EXPECT_EQ(exact[63], sum8(exact, 63));
}

TEST(Q7xxUSBMsgT, ParseTakesChecksumFromLastReceivedByte) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    m.need = 2;
    bytesT r = report(0x04, 0x09, {0x55, 0xFF}, 64, 4);
    r[20] = 0x77; // behind the payload: not covered
    EXPECT_TRUE(m.parse(r.data(), 64));
    EXPECT_TRUE(log.lines().empty());

    // The right sum right behind the payload is not the checksum.
    bytesT behind{0x04, 0x09, 0x55, 0xFF, 0x61};
    behind.resize(64, 0);
    EXPECT_FALSE(m.parse(behind.data(), 64));
}

TEST(Q7xxUSBMsgT, ForeignOrShortReportsFailSilently) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    m.need = 4;
    const bytesT wrongRid = report(0x02, 0x09, {1, 2, 3, 4}, 64, 6);
    const bytesT wrongMid = report(0x04, 0x08, {1, 2, 3, 4}, 64, 6);
    EXPECT_FALSE(m.parse(wrongRid.data(), 64));
    EXPECT_FALSE(m.parse(wrongMid.data(), 64));
    EXPECT_EQ(m.parseCalls, 0);

    // Images are exactly as long as what was received, so ASan sees overreads.
    const bytesT one{0x04}, idsOnly{0x04, 0x09};
    EXPECT_FALSE(m.parse(nullptr, 0));
    EXPECT_FALSE(m.parse(one.data(), 1));
    EXPECT_FALSE(m.parse(idsOnly.data(), 2));
    EXPECT_FALSE(m.parse(idsOnly.data(), -5));
    const bytesT shortPayload = report(0x04, 0x09, {1, 2, 3}, 5, 4);
    EXPECT_FALSE(m.parse(shortPayload.data(), 5));
    // Payload fills the report: no byte is left for the checksum.
    const bytesT noRoom = report(0x04, 0x09, {1, 2, 3, 4}, 6, 5);
    EXPECT_FALSE(m.parse(noRoom.data(), 6));
    EXPECT_TRUE(log.lines().empty());

    const bytesT minimal = report(0x04, 0x09, {1, 2, 3, 4}, 7, 6);
    EXPECT_TRUE(m.parse(minimal.data(), 7));
}

TEST(Q7xxUSBMsgT, ChecksumMismatchLogsBothLines) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    m.need = 2;
    bytesT r = report(0x04, 0x09, {0xAB, 0x01}, 64, 4);
    r[63] = 0x10; // computed is 0xB9 = 185
    EXPECT_FALSE(m.parse(r.data(), 64));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "ERROR: ERR driver -> { parse } faild to validate checksum bufchk=16 "
                  "compchk=185 sz =64 n =2\n",
                  "ERROR: ERR driver -> { parse } buf(0-3)= 0x4, 0x9, 0xab, 0x1\n"}));

    // A 3-byte report: the dump shows the bytes received and no more.
    payloadMsgT empty;
    const bytesT tiny{0x04, 0x09, 0x00};
    EXPECT_FALSE(empty.parse(tiny.data(), 3));
    ASSERT_EQ(log.lines().size(), 4u);
    EXPECT_EQ(log.lines()[2], "ERROR: ERR driver -> { parse } faild to validate checksum "
                              "bufchk=0 compchk=13 sz =3 n =0\n");
    EXPECT_EQ(log.lines()[3], "ERROR: ERR driver -> { parse } buf(0-3)= 0x4, 0x9, 0x0\n");
}

TEST(Q7xxUSBMsgT, FieldHelpersAreLittleEndianAndCount) {
    unsigned char b[16] = {};
    unsigned char* w = b;
    fieldsT::_write2(w, 0xFFFE);
    fieldsT::_write4(w, 0x12345678u);
    fieldsT::_write_float(w, 1.5f);
    fieldsT::_write4(w, 0xFFFFFFFFu);
    ASSERT_EQ(w, b + 14);
    const unsigned char want[] = {0xFE, 0xFF, 0x78, 0x56, 0x34, 0x12, 0x00,
                                  0x00, 0xC0, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(b, want, sizeof want));

    const unsigned char* r = b;
    int consumed = 3, left = 14;
    EXPECT_EQ(fieldsT::_read2(r, consumed, left), 0xFFFE); // unsigned, no sign spill
    EXPECT_EQ(fieldsT::_read4(r, consumed, left), 0x12345678u);
    EXPECT_EQ(fieldsT::_read_float(r, consumed, left), 1.5f);
    EXPECT_EQ(fieldsT::_read4(r, consumed, left), 0xFFFFFFFFu);
    EXPECT_EQ(r, b + 14);
    EXPECT_EQ(consumed, 3 + 14);
    EXPECT_EQ(left, 0);
}

TEST(Exp10, ScalesStepByStepInExtendedPrecision) {
    EXPECT_EQ(exp10(1.5f, 2), 150.0f);
    EXPECT_EQ(exp10(150.0f, -2), 1.5f);
    EXPECT_EQ(exp10(2.5f, 0), 2.5f);
    EXPECT_EQ(exp10(-2.5f, 3), -2500.0f);
    EXPECT_EQ(exp10(1.0f, -1), 0.1f);
    // Single-precision steps would give 28.999998 and truncate to 28.
    EXPECT_EQ(static_cast<unsigned>(exp10(0.29f, 2)), 29u);
}

TEST(Exp10, ExtremeExponentsSaturateQuickly) {
    EXPECT_EQ(exp10(1.0f, INT_MAX), INFINITY);
    EXPECT_EQ(exp10(-1.0f, 100), -INFINITY);
    EXPECT_EQ(exp10(1.0f, INT_MIN), 0.0f);
    EXPECT_EQ(exp10(0.0f, INT_MAX), 0.0f);
    EXPECT_TRUE(std::isnan(exp10(NAN, 5)));
}
