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

    bytesT out;                 // payload _format writes
    int formatResult = 0;       // when negative, _format fails with it
    int need = 0;               // payload bytes _parse requires
    mutable int parseCalls = 0; // how often _parse ran
    bytesT seen;                // payload bytes _parse consumed

protected:
    int _format(unsigned char* pos) const override {
        if (formatResult < 0)
            return formatResult;
        std::memcpy(pos, out.data(), out.size());
        return static_cast<int>(out.size());
    }
    int _parse(const unsigned char* pos, int len) override {
        ++parseCalls;
        if (len < need)
            return -1;
        seen.assign(pos, pos + need);
        return need;
    }
};

// Opens the field helpers to the tests.
class fieldsT : public q7xxUSBMsgT {
public:
    using q7xxUSBMsgT::_read2;
    using q7xxUSBMsgT::_read4;
    using q7xxUSBMsgT::_read_float;
    using q7xxUSBMsgT::_write2;
    using q7xxUSBMsgT::_write4;
    using q7xxUSBMsgT::_write_float;
};

} // namespace

// --- formatting --------------------------------------------------------------

TEST(Q7xxUSBMsgT, FormatWritesIdsPayloadAndChecksumOnly) {
    payloadMsgT m;
    m.out = {0x10, 0x20, 0x30};
    bytesT buf(16, 0xEE); // sentinel: nothing behind the frame may change
    ASSERT_EQ(m.format(buf.data()), 6);
    EXPECT_EQ(bytesT(buf.begin(), buf.begin() + 6),
              (bytesT{0x04, 0x09, 0x10, 0x20, 0x30, 0x04 + 0x09 + 0x10 + 0x20 + 0x30}));
    for (std::size_t i = 6; i < buf.size(); ++i)
        EXPECT_EQ(buf[i], 0xEE) << "byte " << i;
}

TEST(Q7xxUSBMsgT, ChecksumWrapsModulo256) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    const unsigned char wrap[] = {0xFF, 0x02};
    EXPECT_EQ(m.calc_cksum(wrap, 2), 0x01);
    EXPECT_EQ(m.calc_cksum(nullptr, 0), 0x00);

    m.out = {0xFF, 0xFF, 0xFF};
    bytesT buf(6, 0);
    ASSERT_EQ(m.format(buf.data()), 6);
    EXPECT_EQ(buf[5], (0x04 + 0x09 + 3 * 0xFF) & 0xFF);

    // A wrapped checksum is accepted on the way back in.
    m.need = 3;
    bytesT in = buf;
    EXPECT_TRUE(m.parse(in.data(), static_cast<int>(in.size())));
    EXPECT_TRUE(log.lines().empty());
}

TEST(Q7xxUSBMsgT, FormatReportZeroFillsTheWholeReport) {
    payloadMsgT m;
    m.out = {0x01, 0x02};
    bytesT buf(64, 0xAA);
    ASSERT_EQ(m.formatReport(buf.data(), buf.size()), 5);
    bytesT want(64, 0);
    want[0] = 0x04;
    want[1] = 0x09;
    want[2] = 0x01;
    want[3] = 0x02;
    want[4] = 0x04 + 0x09 + 0x01 + 0x02;
    EXPECT_EQ(buf, want);
}

TEST(Q7xxUSBMsgT, FormatFailuresLeaveTheReportUntouched) {
    payloadMsgT failing;
    failing.formatResult = -7;
    bytesT scratch(64, 0);
    EXPECT_EQ(failing.format(scratch.data()), -7);
    bytesT buf(64, 0xAA);
    EXPECT_EQ(failing.formatReport(buf.data(), buf.size()), -7);
    EXPECT_EQ(buf, bytesT(64, 0xAA));

    // A device whose output report is shorter than the frame gets nothing
    // written, not a truncated or overflowing frame.
    payloadMsgT big;
    big.out = bytesT(61, 0x11);
    bytesT small(8, 0xAA);
    EXPECT_LT(big.formatReport(small.data(), small.size()), 0);
    EXPECT_EQ(small, bytesT(8, 0xAA));

    // Exactly fitting is fine.
    bytesT exact(64, 0xAA);
    EXPECT_EQ(big.formatReport(exact.data(), exact.size()), 64);
    EXPECT_EQ(exact[63], sum8(exact, 63));
}

// --- parsing -----------------------------------------------------------------

TEST(Q7xxUSBMsgT, ParseTakesChecksumFromLastReceivedByte) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    m.need = 2;
    // Checksum of the first n + 2 bytes in the report's last byte, padding between.
    bytesT r = report(0x04, 0x09, {0x55, 0x66}, 64, 4);
    r[20] = 0x77; // behind the payload: not covered by the checksum
    ASSERT_TRUE(m.parse(r.data(), static_cast<int>(r.size())));
    EXPECT_EQ(m.seen, (bytesT{0x55, 0x66}));
    EXPECT_TRUE(log.lines().empty());

    // The right sum placed right behind the payload is not the checksum.
    bytesT behind(64, 0);
    behind[0] = 0x04;
    behind[1] = 0x09;
    behind[2] = 0x55;
    behind[3] = 0x66;
    behind[4] = sum8(behind, 4);
    EXPECT_FALSE(m.parse(behind.data(), static_cast<int>(behind.size())));
}

TEST(Q7xxUSBMsgT, ForeignReportsAreNotParsedAtAll) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    bytesT wrongRid = report(0x02, 0x09, {}, 64, 2);
    bytesT wrongMid = report(0x04, 0x08, {}, 64, 2);
    EXPECT_FALSE(m.parse(wrongRid.data(), 64));
    EXPECT_FALSE(m.parse(wrongMid.data(), 64));
    EXPECT_EQ(m.parseCalls, 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(Q7xxUSBMsgT, ShortReportsFailWithoutLogging) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    m.need = 4;
    // Each image holds exactly the bytes received (heap-sized to the length).
    EXPECT_FALSE(m.parse(nullptr, 0));
    bytesT one{0x04};
    EXPECT_FALSE(m.parse(one.data(), 1));
    bytesT idsOnly{0x04, 0x09};
    EXPECT_FALSE(m.parse(idsOnly.data(), 2));
    EXPECT_FALSE(m.parse(idsOnly.data(), -5));
    bytesT shortPayload = report(0x04, 0x09, {1, 2, 3}, 6, 5);
    EXPECT_FALSE(m.parse(shortPayload.data(), 5)); // 3 payload bytes of 4
    // The payload fills the report: no byte is left for the checksum.
    bytesT noRoom = report(0x04, 0x09, {1, 2, 3, 4}, 6, 5);
    EXPECT_FALSE(m.parse(noRoom.data(), 6));
    EXPECT_TRUE(log.lines().empty());

    bytesT minimal = report(0x04, 0x09, {1, 2, 3, 4}, 7, 6);
    EXPECT_TRUE(m.parse(minimal.data(), 7));
}

TEST(Q7xxUSBMsgT, ChecksumMismatchLogsBothLines) {
    q7xxtest::driverLogT log;
    payloadMsgT m;
    m.need = 2;
    bytesT r = report(0x04, 0x09, {0xAB, 0x01}, 64, 4);
    r[63] = 0x10; // computed is 0x04+0x09+0xAB+0x01 = 0xB9 = 185
    EXPECT_FALSE(m.parse(r.data(), 64));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ERR driver -> { parse } faild to validate checksum bufchk=16 "
                        "compchk=185 sz =64 n =2\n");
    EXPECT_EQ(lines[1], "ERR driver -> { parse } buf(0-3)= 0x4, 0x9, 0xab, 0x1\n");
    EXPECT_EQ(log.levels(), (std::vector<int>{rux::log::ERROR, rux::log::ERROR}));
}

TEST(Q7xxUSBMsgT, MismatchDumpShowsOnlyReceivedBytes) {
    q7xxtest::driverLogT log;
    payloadMsgT m; // empty payload
    bytesT r{0x04, 0x09, 0x00};
    EXPECT_FALSE(m.parse(r.data(), 3));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ERR driver -> { parse } faild to validate checksum bufchk=0 "
                        "compchk=13 sz =3 n =0\n");
    EXPECT_EQ(lines[1], "ERR driver -> { parse } buf(0-3)= 0x4, 0x9, 0x0\n");
}

// --- field helpers -----------------------------------------------------------

TEST(Q7xxUSBMsgT, ReadHelpersDecodeLittleEndianAndCount) {
    const unsigned char b[] = {0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00,
                               0xC0, 0x3F, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const unsigned char* pos = b;
    int consumed = 3, left = 16;
    EXPECT_EQ(fieldsT::_read2(pos, consumed, left), 0x1234);
    EXPECT_EQ(fieldsT::_read4(pos, consumed, left), 0x12345678u);
    EXPECT_EQ(fieldsT::_read_float(pos, consumed, left), 1.5f);
    EXPECT_EQ(fieldsT::_read2(pos, consumed, left), 0xFFFE); // unsigned, no sign spill
    EXPECT_EQ(fieldsT::_read4(pos, consumed, left), 0xFFFFFFFFu);
    EXPECT_EQ(pos, b + 16);
    EXPECT_EQ(consumed, 3 + 16);
    EXPECT_EQ(left, 0);
}

TEST(Q7xxUSBMsgT, WriteHelpersEncodeLittleEndianAndAdvance) {
    unsigned char b[10] = {};
    unsigned char* pos = b;
    fieldsT::_write2(pos, 0xBEEF);
    fieldsT::_write4(pos, 0x01020304u);
    fieldsT::_write_float(pos, -2.0f); // 0xC0000000
    EXPECT_EQ(pos, b + 10);
    const unsigned char want[] = {0xEF, 0xBE, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00, 0xC0};
    EXPECT_EQ(0, std::memcmp(b, want, sizeof want));
}

TEST(Q7xxUSBMsgT, FloatFieldsKeepTheirBitPattern) {
    const float values[] = {0.0f, -0.0f, 3.14159f, 1e-40f /* subnormal */, INFINITY};
    for (float v : values) {
        unsigned char b[4];
        unsigned char* w = b;
        fieldsT::_write_float(w, v);
        const unsigned char* r = b;
        int consumed = 0, left = 4;
        const float back = fieldsT::_read_float(r, consumed, left);
        EXPECT_EQ(0, std::memcmp(&back, &v, sizeof v)) << v;
    }
}

// --- exp10 -------------------------------------------------------------------

TEST(Exp10, ScalesByPowersOfTen) {
    EXPECT_EQ(exp10(1.5f, 2), 150.0f);
    EXPECT_EQ(exp10(150.0f, -2), 1.5f);
    EXPECT_EQ(exp10(2.5f, 0), 2.5f);
    EXPECT_EQ(exp10(-2.5f, 3), -2500.0f);
    EXPECT_EQ(exp10(1.0f, -1), 0.1f);
    EXPECT_EQ(exp10(123456.0f, -5), 1.23456f);
}

TEST(Exp10, StepsInExtendedPrecision) {
    // Single-precision steps give 28.999998 here; extended steps round to 29.
    EXPECT_EQ(exp10(0.29f, 2), 29.0f);
    EXPECT_EQ(static_cast<unsigned>(exp10(0.29f, 2)), 29u);
}

TEST(Exp10, ExtremeExponentsSaturate) {
    EXPECT_EQ(exp10(1.0f, INT_MAX), INFINITY);
    EXPECT_EQ(exp10(-1.0f, 100), -INFINITY);
    EXPECT_EQ(exp10(1.0f, INT_MIN), 0.0f);
    EXPECT_EQ(exp10(0.0f, INT_MAX), 0.0f);
    EXPECT_TRUE(std::isnan(exp10(NAN, 5)));
}
