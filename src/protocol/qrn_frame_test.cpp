#include "qrn_frame.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

std::string Describe(const std::vector<uint8_t> &f)
{
    std::vector<char> text(DESCRIBE_TEXT_SIZE(f.size()), '#');
    DescribeSentFrame(f.data(), text.data(), (int32_t)f.size());
    return std::string(text.data());
}

std::vector<uint8_t> Bytes(const uint8_t *p, size_t n) { return std::vector<uint8_t>(p, p + n); }

TEST(FrameCrc, CheckValueAndEdges)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(0xB1, FrameCrcLow(digits, 9, nullptr));
    const uint8_t zeros[4] = {0, 0, 0, 0};
    EXPECT_EQ(0xC0, FrameCrcLow(zeros, 4, nullptr));
    EXPECT_EQ(0xFF, FrameCrcLow(zeros, 0, nullptr));
    // An explicit start of 0xFFFF is the default.
    const uint16_t start = 0xFFFF;
    EXPECT_EQ(0xB1, FrameCrcLow(digits, 9, &start));
    // Chaining: the register continues from a start value.
    const uint16_t other = 0x1D0F;
    EXPECT_NE(FrameCrcLow(digits, 9, &other), FrameCrcLow(digits, 9, nullptr));
}

TEST(FrameCrc, HighByteNeverInfluencesChecksum)
{
    // "123456789" has CRC 0x29B1; find another run whose CRC differs only in
    // the high byte and check both give the same checksum byte.
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    uint8_t probe[2];
    bool found = false;
    for (int a = 0; a < 256 && !found; ++a)
        for (int b = 0; b < 256 && !found; ++b) {
            probe[0] = (uint8_t)a;
            probe[1] = (uint8_t)b;
            if (FrameCrcLow(probe, 2, nullptr) == 0xB1)
                found = true;
        }
    ASSERT_TRUE(found);
    EXPECT_EQ(FrameChecksumByte(digits, 9), FrameChecksumByte(probe, 2));
}

TEST(FrameCheck, ConsoleAck)
{
    uint8_t ack[5] = {0, 0, 0, 0, 0x40};
    EXPECT_EQ(0, FrameCheck(ack, 5));
    ack[4] = 0x41;
    EXPECT_EQ(1, FrameCheck(ack, 5));
}

TEST(FrameBuild, ThreeFramesByteForByte)
{
    uint8_t buf[100];
    uint8_t len = 0;
    memset(buf, 0xEE, sizeof buf);
    BuildScanControlFrame(buf, 1, &len);
    const uint8_t start[] = {0x51, 0x52, 0x4E, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x96};
    ASSERT_EQ(12, len);
    EXPECT_EQ(Bytes(start, 12), Bytes(buf, 12));
    EXPECT_EQ(0xEE, buf[12]) << "builders write only the frame";
    EXPECT_EQ(0, FrameCheck(buf + 3, 9));

    BuildScanControlFrame(buf, 0, &len);
    const uint8_t stop[] = {0x51, 0x52, 0x4E, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0xB5};
    ASSERT_EQ(12, len);
    EXPECT_EQ(Bytes(stop, 12), Bytes(buf, 12));
    EXPECT_EQ(0, FrameCheck(buf + 3, 9));

    memset(buf, 0xEE, sizeof buf);
    BuildConfigRequestFrame(buf, &len);
    const uint8_t cfg[] = {0x51, 0x52, 0x4E, 0x01, 0x04, 0x00, 0x80, 0x00, 0x01, 0x00, 0xF9};
    ASSERT_EQ(11, len);
    EXPECT_EQ(Bytes(cfg, 11), Bytes(buf, 11));
    EXPECT_EQ(0xEE, buf[11]);
    EXPECT_EQ(0, FrameCheck(buf + 3, 8));
}

TEST(FrameBuild, ChecksumIgnoresMagic)
{
    uint8_t a[12], b[12];
    uint8_t len;
    BuildScanControlFrame(a, 1, &len);
    memcpy(b, a, sizeof b);
    b[0] = b[1] = b[2] = 0;
    EXPECT_EQ(FrameChecksumByte(a + 3, 8), FrameChecksumByte(b + 3, 8));
}

struct DescribeCase {
    const char *what;
    std::vector<uint8_t> frame;
    const char *text;
};

TEST(DescribeSentFrame, Table)
{
    const DescribeCase cases[] = {
        {"start", {0x51, 0x52, 0x4E, 1, 4, 0, 0, 0, 2, 0, 1, 0x96},
         "QRN010400000002000196\r\nsent start ADV\r\n"},
        {"stop", {0x51, 0x52, 0x4E, 1, 4, 0, 0, 0, 2, 0, 0, 0xB5},
         "QRN0104000000020000B5\r\nSoftReset Dongle\r\n"},
        {"config request", {0x51, 0x52, 0x4E, 1, 4, 0, 0x80, 0, 1, 0, 0xF9},
         "QRN01040080000100F9\r\nask Dongle Config data\r\n"},
        {"console ack", {0x51, 0x52, 0x4E, 0, 0, 0, 0, 0x40}, "QRN0000000040\r\nsent console ACK\r\n"},
        {"unknown byte 10", {0x51, 0x52, 0x4E, 1, 4, 0, 0, 0, 2, 0, 2, 0x77},
         "QRN010400000002000277\r\n"},
        {"not magic", {0x51, 0x52, 0x4F, 1, 4, 0, 0, 0, 2, 0, 1, 0x96}, ""},
        {"hrm link", {0x51, 0x52, 0x4E, 1, 4, 0, 0x90, 0, 0x0D}, "QRN01040090000D\r\nask HRM link\r\n"},
        {"hrm disconnect", {0x51, 0x52, 0x4E, 0, 4, 0, 0xA0, 0, 0x0C},
         "QRN000400A0000C\r\nask HRM disconnect\r\n"},
        {"byte 3 not examined", {0x51, 0x52, 0x4E, 0xAB, 0, 0, 0, 0x40},
         "QRNAB000000" "40\r\nsent console ACK\r\n"},
        {"no rule", {0x51, 0x52, 0x4E, 1, 4, 1, 0, 0}, "QRN01040100" "00\r\n"},
    };
    for (const DescribeCase &c : cases)
        EXPECT_EQ(std::string(c.text), Describe(c.frame)) << c.what;
}

TEST(DescribeSentFrame, LongestSentTextFits)
{
    uint8_t buf[12];
    uint8_t len;
    BuildConfigRequestFrame(buf, &len);
    std::string t = Describe(Bytes(buf, len));
    EXPECT_EQ(45u, t.size());
    EXPECT_LE(t.size() + 1, (size_t)DESCRIBE_TEXT_SIZE(len));
}

} // namespace
