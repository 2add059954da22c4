#include "sim_core.h"

#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace {

TEST(SimFrames, AckIsTheEightBytesTheConsoleAccepts)
{
    uint8_t f[16];
    ASSERT_EQ(BuildDongleAckFrame(f), ACK_FRAME_LEN);
    const uint8_t expected[ACK_FRAME_LEN] = {0x51, 0x52, 0x4E, 0x00, 0x00, 0x00, 0x00, 0x40};
    EXPECT_EQ(0, memcmp(f, expected, sizeof expected));
    EXPECT_EQ(FrameCheck(f + 3, ACK_FRAME_LEN - 3), 0);
}

TEST(SimFrames, ConfigDataLayout)
{
    uint8_t f[64];
    memset(f, 0xEE, sizeof f);
    ASSERT_EQ(BuildDongleConfigFrame(f, "Dongle", "A1B2C3D4E5F6", 3, 14), CONFIG_DATA_FRAME_LEN);
    const uint8_t head[] = {0x51, 0x52, 0x4E, 0x01, 0x02, 0x00, 0x00};
    EXPECT_EQ(0, memcmp(f, head, sizeof head));
    EXPECT_EQ(0, memcmp(f + CFG_NAME_OFS, "Dongle\0\0\0\0\0\0", CFG_NAME_LEN));
    EXPECT_EQ(f[21], FIELD_END);
    EXPECT_EQ(0, memcmp(f + CFG_ADDR_OFS, "A1B2C3D4E5F6", CFG_ADDR_LEN));
    EXPECT_EQ(f[34], FIELD_END);
    EXPECT_EQ(f[CFG_VER_MAJOR_OFS], 3);
    EXPECT_EQ(f[CFG_VER_MINOR_OFS], 14);
    EXPECT_EQ(FrameCheck(f + 3, CONFIG_DATA_FRAME_LEN - 3), 0);
    EXPECT_EQ(f[CONFIG_DATA_FRAME_LEN], 0xEE) << "wrote past the frame";
}

TEST(SimFrames, RegisterDeviceDataLayout)
{
    uint8_t f[64];
    memset(f, 0xEE, sizeof f);
    ASSERT_EQ(BuildRegisterDeviceFrame(f, "Qorvessa QH2 04A1", "0123456789AB", 1, -61, 72, 0x0345, 88),
              REGISTER_DATA_FRAME_LEN);
    const uint8_t head[] = {0x51, 0x52, 0x4E, 0x00, 0x04, 0x00, 0x01, 0x00, 0x2D};
    EXPECT_EQ(0, memcmp(f, head, sizeof head));
    EXPECT_EQ(0, memcmp(f + REG_NAME_OFS, "Qorvessa QH2 04A1\0\0\0\0\0\0\0\0", REG_NAME_LEN));
    EXPECT_EQ(f[34], FIELD_END);
    EXPECT_EQ(0, memcmp(f + REG_ADDR_OFS, "0123456789AB", REG_ADDR_LEN));
    EXPECT_EQ(f[47], FIELD_END);
    EXPECT_EQ(f[REG_CHECK_OFS], REG_CHECK_HAS_DATA);
    EXPECT_EQ((int8_t)f[REG_RSSI_OFS], -61);
    EXPECT_EQ(f[REG_HR_OFS], 72);
    EXPECT_EQ(f[REG_RR_OFS], 0x03) << "R-R interval goes high byte first";
    EXPECT_EQ(f[REG_RR_OFS + 1], 0x45);
    EXPECT_EQ(f[REG_BAT_OFS], 88);
    EXPECT_EQ(FrameCheck(f + 3, REGISTER_DATA_FRAME_LEN - 3), 0);
    EXPECT_EQ(f[REGISTER_DATA_FRAME_LEN], 0xEE) << "wrote past the frame";

    // A full 25-character name fills the field; without data the check
    // field is clear.
    BuildRegisterDeviceFrame(f, "Optical ArmBand HR 000025", "0123456789AB", 0, -50, 72, 800, 50);
    EXPECT_EQ(0, memcmp(f + REG_NAME_OFS, "Optical ArmBand HR 000025", REG_NAME_LEN));
    EXPECT_EQ(f[34], FIELD_END);
    EXPECT_NE(f[REG_CHECK_OFS], REG_CHECK_HAS_DATA);
    EXPECT_EQ(FrameCheck(f + 3, REGISTER_DATA_FRAME_LEN - 3), 0);
}

// Feeds bytes to a framer and returns every event except "need more".
std::vector<int> Feed(SimRxFramer *framer, const std::vector<uint8_t> &bytes)
{
    std::vector<int> events;
    for (uint8_t b : bytes) {
        SimRxAdd(framer, b);
        int e;
        while ((e = SimRxNext(framer)) != SIM_REQ_NONE)
            if (e != SIM_REQ_SKIPPED) events.push_back(e);
    }
    return events;
}

std::vector<uint8_t> ScanFrame(int on)
{
    uint8_t f[16], n;
    BuildScanControlFrame(f, on, &n);
    return std::vector<uint8_t>(f, f + n);
}

std::vector<uint8_t> ConfigRequest()
{
    uint8_t f[16], n;
    BuildConfigRequestFrame(f, &n);
    return std::vector<uint8_t>(f, f + n);
}

std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(SimRxFramer, RecognisesTheConsoleRequestsInAnyMix)
{
    std::vector<uint8_t> noise = {0x00, 0x51, 0xFF, 0x51, 0x52, 0x13};  // a stray Q and QR too
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        std::vector<int> expected;
    } cases[] = {
        {"start", ScanFrame(1), {SIM_REQ_SCAN_START}},
        {"stop", ScanFrame(0), {SIM_REQ_SCAN_STOP}},
        {"config", ConfigRequest(), {SIM_REQ_CONFIG}},
        {"scan other", ScanFrame(2), {SIM_REQ_SCAN_OTHER}},
        {"stop then config back to back", Cat({ScanFrame(0), ConfigRequest()}), {SIM_REQ_SCAN_STOP, SIM_REQ_CONFIG}},
        {"noise around frames", Cat({noise, ScanFrame(1), noise, ConfigRequest(), noise}),
         {SIM_REQ_SCAN_START, SIM_REQ_CONFIG}},
        {"console ack", {0x51, 0x52, 0x4E, 0, 0, 0, 0, 0x40}, {SIM_REQ_CONSOLE_ACK}},
    };
    for (auto &c : cases) {
        SimRxFramer framer;
        SimRxReset(&framer);
        EXPECT_EQ(Feed(&framer, c.bytes), c.expected) << c.what;
    }
}

TEST(SimRxFramer, EveryCorruptedByteIsRejectedAndTheNextFrameStillCounts)
{
    for (auto frame : {ScanFrame(1), ScanFrame(0), ConfigRequest()}) {
        for (size_t i = 0; i < frame.size(); i++) {
            for (uint8_t flip : {0x01, 0x80}) {
                std::vector<uint8_t> bad = frame;
                bad[i] ^= flip;
                SimRxFramer framer;
                SimRxReset(&framer);
                std::vector<int> events = Feed(&framer, Cat({bad, ConfigRequest()}));
                ASSERT_FALSE(events.empty());
                EXPECT_EQ(events.back(), SIM_REQ_CONFIG) << "offset " << i;
                for (size_t k = 0; k + 1 < events.size(); k++) {
                    // A corrupted on byte may still make a valid-looking
                    // frame only if the checksum agrees, which one flip cannot do.
                    EXPECT_TRUE(events[k] == SIM_REQ_BAD_CHECKSUM) << "offset " << i << " gave " << events[k];
                }
            }
        }
    }
}

TEST(SimRxFramer, BufferStaysSmallUnderEndlessNoise)
{
    SimRxFramer framer;
    SimRxReset(&framer);
    uint32_t r = 7;
    std::vector<uint8_t> noise;
    for (int i = 0; i < 20000; i++) noise.push_back((uint8_t)SimRandom(&r));
    // Magic runs make the framer wait for the longest frame, never more.
    for (int i = 0; i < 200; i++) noise.insert(noise.end(), {0x51, 0x52, 0x4E, 0x01, 0x04, 0x00, 0x90});
    Feed(&framer, noise);
    EXPECT_LE(framer.count, 23);
    // The last magic run waits for a 23-byte frame that fails its check.
    std::vector<int> events = Feed(&framer, Cat({std::vector<uint8_t>(30, 0), ScanFrame(1)}));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), SIM_REQ_SCAN_START);
    for (size_t k = 0; k + 1 < events.size(); k++) EXPECT_EQ(events[k], SIM_REQ_BAD_CHECKSUM);
}

struct ArgCase {
    std::vector<const char *> args;
    int result;
    const char *errorPart;  // for errors: a piece of the message
};

int Parse(std::vector<const char *> args, SimOptions *o, std::string *error)
{
    args.insert(args.begin(), "tolvane-dongle-sim");
    char text[256];
    int r = ParseSimOptions((int)args.size(), args.data(), o, text, sizeof text);
    *error = text;
    return r;
}

TEST(SimOptionsParse, BadOptionsGiveClearErrors)
{
    ArgCase cases[] = {
        {{"--bogus"}, SIM_PARSE_ERROR, "unknown option '--bogus'"},
        {{"extra"}, SIM_PARSE_ERROR, "unknown option 'extra'"},
        {{"--monitors"}, SIM_PARSE_ERROR, "--monitors needs a value"},
        {{"--monitors", "0"}, SIM_PARSE_ERROR, "--monitors: expected a whole number 1..64"},
        {{"--monitors", "65"}, SIM_PARSE_ERROR, "1..64"},
        {{"--monitors", "8x"}, SIM_PARSE_ERROR, "got '8x'"},
        {{"--rate", "0"}, SIM_PARSE_ERROR, "--rate"},
        {{"--rate", "fast"}, SIM_PARSE_ERROR, "got 'fast'"},
        {{"--rate", "nan"}, SIM_PARSE_ERROR, "--rate"},
        {{"--name", "ThirteenChars"}, SIM_PARSE_ERROR, "at most 12"},
        {{"--address", "ABC"}, SIM_PARSE_ERROR, "exactly 12"},
        {{"--version", "2"}, SIM_PARSE_ERROR, "MAJOR.MINOR"},
        {{"--version", "2.256"}, SIM_PARSE_ERROR, "0..255"},
        {{"--version", "-1.0"}, SIM_PARSE_ERROR, "0..255"},
        {{"--bad-checksum-every", "0"}, SIM_PARSE_ERROR, ">= 1"},
        {{"--max-reports", "-3"}, SIM_PARSE_ERROR, ">= 0"},
        {{"--split=yes"}, SIM_PARSE_ERROR, "takes no value"},
        {{"--device", ""}, SIM_PARSE_ERROR, "non-empty"},
        {{"--help"}, SIM_PARSE_HELP, ""},
        {{"--monitors", "3", "-h"}, SIM_PARSE_HELP, ""},
    };
    for (auto &c : cases) {
        SimOptions o;
        std::string error;
        EXPECT_EQ(Parse(c.args, &o, &error), c.result) << c.args[0];
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.args[0] << ": " << error;
    }
}

TEST(SimOptionsParse, DefaultsAndEveryOption)
{
    SimOptions o;
    std::string error;
    ASSERT_EQ(Parse({}, &o, &error), SIM_PARSE_OK);
    EXPECT_EQ(o.monitors, 8);
    EXPECT_EQ(o.rate, 8.0) << "one report per monitor per second";
    EXPECT_EQ(strlen(o.name), 12u);
    EXPECT_EQ(strlen(o.address), 12u);
    EXPECT_EQ(o.maxReports, -1);
    EXPECT_FALSE(o.split || o.garbage || o.silent || o.sequence || o.unpaced || o.badChecksumEvery);
    EXPECT_STREQ(o.sent, "");

    ASSERT_EQ(Parse({"--monitors", "25", "--device=/dev/pts/9", "--link", "/tmp/x", "--record", "r.txt", "--name",
                     "Bench", "--address=AABBCCDDEEFF", "--version", "4.12", "--rate=2.5",
                     "--bad-checksum-every", "3", "--split", "--garbage", "--silent", "--sequence",
                     "--max-reports", "0", "--seed", "99", "--verbose", "--unpaced", "--sent=s.txt"},
                    &o, &error),
              SIM_PARSE_OK)
        << error;
    EXPECT_EQ(o.monitors, 25);
    EXPECT_STREQ(o.device, "/dev/pts/9");
    EXPECT_STREQ(o.link, "/tmp/x");
    EXPECT_STREQ(o.record, "r.txt");
    EXPECT_STREQ(o.name, "Bench");
    EXPECT_STREQ(o.address, "AABBCCDDEEFF");
    EXPECT_EQ(o.versionMajor, 4);
    EXPECT_EQ(o.versionMinor, 12);
    EXPECT_EQ(o.rate, 2.5);
    EXPECT_EQ(o.badChecksumEvery, 3);
    EXPECT_TRUE(o.split && o.garbage && o.silent && o.sequence && o.verbose && o.unpaced);
    EXPECT_STREQ(o.sent, "s.txt");
    EXPECT_EQ(o.maxReports, 0);
    EXPECT_EQ(o.seed, 99u);

    ASSERT_EQ(Parse({"--monitors", "3"}, &o, &error), SIM_PARSE_OK);
    EXPECT_EQ(o.rate, 3.0) << "the default rate follows the monitor count";
}

TEST(SimPacing, NeverFasterThanTheLine)
{
    EXPECT_EQ(SimLineMicros(SIM_LINE_BYTES_PER_SECOND), 1000000);
    EXPECT_EQ(SimLineMicros(REGISTER_DATA_FRAME_LEN), 4775);  // 550 bits at 115200 baud, rounded up
    EXPECT_EQ(SimLineMicros(1), 87);

    // Writers that try to send as fast as they can get 11,520 bytes a second.
    SimPacer pacer = {0};
    int64_t bytes = 0;
    for (int64_t now = 0; now < 1000000;) {
        int64_t at = SimPacerEarliest(&pacer, now);
        if (at + SimLineMicros(REGISTER_DATA_FRAME_LEN) > 1000000) break;  // would still be on the line
        SimPacerCommit(&pacer, at, REGISTER_DATA_FRAME_LEN);
        bytes += REGISTER_DATA_FRAME_LEN;
        now = at;
    }
    EXPECT_LE(bytes, SIM_LINE_BYTES_PER_SECOND);
    EXPECT_GT(bytes, SIM_LINE_BYTES_PER_SECOND - REGISTER_DATA_FRAME_LEN * 2);

    // An idle line lets the next write go at once.
    SimPacerCommit(&pacer, 5000000, 10);
    EXPECT_EQ(SimPacerEarliest(&pacer, 6000000), 6000000);
    EXPECT_EQ(SimPacerEarliest(&pacer, 5000100), 5000000 + SimLineMicros(10));

    EXPECT_EQ(SimReportInterval(8), 125000);
    EXPECT_EQ(SimReportInterval(0.5), 2000000);
}

TEST(SimMonitors, DefaultSetHasTheKindsTheConsoleTellsApart)
{
    SimMonitor m[SIM_MAX_MONITORS];
    SimInitMonitors(m, SIM_DEFAULT_MONITORS, 1);
    int qorvessa = 0, polar = 0, full = 0;
    for (int i = 0; i < SIM_DEFAULT_MONITORS; i++) {
        if (strncmp(m[i].name, "Qorvessa", 8) == 0) qorvessa++;
        if (strncmp(m[i].name, "Polar", 5) == 0) polar++;
        if (strlen(m[i].name) == REG_NAME_LEN) full++;
    }
    EXPECT_GE(qorvessa, 1);
    EXPECT_EQ(polar, 1);
    EXPECT_GE(full, 1);

    // Many monitors: distinct 12-character addresses, names that fit;
    // at most one refused, so more than 20 fill every tile.
    SimInitMonitors(m, SIM_MAX_MONITORS, 5);
    std::set<std::string> addresses;
    int refused = 0;
    for (int i = 0; i < SIM_MAX_MONITORS; i++) {
        EXPECT_EQ(strlen(m[i].address), 12u);
        EXPECT_LE(strlen(m[i].name), (size_t)REG_NAME_LEN);
        addresses.insert(m[i].address);
        if (strncmp(m[i].name, "Polar", 5) == 0) refused++;
    }
    EXPECT_EQ(addresses.size(), (size_t)SIM_MAX_MONITORS);
    EXPECT_EQ(refused, 1);
}

TEST(SimMonitors, ValuesStayPlausibleAndChange)
{
    SimMonitor m[1];
    SimInitMonitors(m, 1, 3);
    uint32_t r = 11;
    std::set<int> rates, intervals;
    int firstBattery = m[0].battery;
    for (int i = 0; i < 2000; i++) {
        SimStepMonitor(&m[0], &r);
        ASSERT_GE(m[0].heartRate, 40);
        ASSERT_LE(m[0].heartRate, 200);
        ASSERT_GE(m[0].rrInterval, 60000 / 200 - 30);
        ASSERT_LE(m[0].rrInterval, 60000 / 40 + 30);
        ASSERT_GE(m[0].battery, 1);
        ASSERT_LE(m[0].battery, 100);
        rates.insert(m[0].heartRate);
        intervals.insert(m[0].rrInterval);
    }
    EXPECT_GT(rates.size(), 5u);
    EXPECT_GT(intervals.size(), 5u);
    EXPECT_LT(m[0].battery, firstBattery);
}

}  // namespace
