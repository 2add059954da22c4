// The transmit path on a real window and a real COM port pair under Wine.
// One TransmitterThread serves the whole program, as in the console.
#include "transmit.h"

#include "app_state.h"
#include "control_ids.h"
#include "qrn_frame.h"
#include "win_fixture.h"

#include <gtest/gtest.h>

namespace {

const std::string kStopEcho = "\r\n>QRN0104000000020000B5\r\nSoftReset Dongle\r\n";
const std::string kConfigEcho = "\r\n>QRN01040080000100F9\r\nask Dongle Config data\r\n";
const std::string kStartEcho = "\r\n>QRN010400000002000196\r\nsent start ADV\r\n";


std::string FrameHex(int which)
{
    uint8_t buf[16];
    uint8_t len;
    if (which == 2)
        BuildConfigRequestFrame(buf, &len);
    else
        BuildScanControlFrame(buf, which, &len);
    return Hex(std::vector<uint8_t>(buf, buf + len));
}

class TransmitTest : public ::testing::Test {
protected:
    static TestWindow w;
    static HANDLE console;
    static HANDLE dongle;

    static void SetUpTestSuite()
    {
        w = CreateTestWindow();
        ASSERT_EQ(0, CreateTxEvent());
        ASSERT_EQ(0, StartTransmitterThread(w.main));
        console = OpenTestPort(TEST_CONSOLE_PORT);
        dongle = OpenTestPort(TEST_DONGLE_PORT);
        ASSERT_NE(INVALID_HANDLE_VALUE, console);
        ASSERT_NE(INVALID_HANDLE_VALUE, dongle);
    }

    void SetUp() override
    {
        portHandle = console;
        logPaused = 0;
        SetControlText(w.main, IDC_TRAFFIC_LOG, "");
        PumpFor(20);
        DrainPort(dongle);
    }

    std::string Log() { return ControlText(w.main, IDC_TRAFFIC_LOG); }

    bool LogBecomes(const std::string &want)
    {
        return PumpUntil([&] { return Log() == want; }, 5000);
    }

    // What reaches the dongle within a while, and nothing after it.
    std::string Wire(size_t want)
    {
        std::vector<uint8_t> got = ReadPort(dongle, want, 5000);
        std::vector<uint8_t> more = ReadPort(dongle, 1, 300);
        got.insert(got.end(), more.begin(), more.end());
        return Hex(got);
    }
};

TestWindow TransmitTest::w;
HANDLE TransmitTest::console = INVALID_HANDLE_VALUE;
HANDLE TransmitTest::dongle = INVALID_HANDLE_VALUE;

TEST_F(TransmitTest, FrameIsEchoedAndWrittenByteForByte)
{
    stopAckPending = 0;
    SendStopScan();
    EXPECT_EQ(1, stopAckPending.load());
    EXPECT_TRUE(LogBecomes(kStopEcho)) << Log();
    EXPECT_EQ(FrameHex(0), Wire(12));
}

TEST_F(TransmitTest, PausedLogStillWritesButDoesNotEcho)
{
    logPaused = 1;
    SendConfigRequest();
    EXPECT_EQ(FrameHex(2), Wire(11));
    PumpFor(100);
    EXPECT_EQ("", Log());
}

TEST_F(TransmitTest, NoPortOpenEchoesAndFailsQuietlyTwice)
{
    portHandle = INVALID_HANDLE_VALUE;
    SendStopScan();
    EXPECT_TRUE(LogBecomes(kStopEcho)) << Log();
    SendConfigRequest();
    EXPECT_TRUE(LogBecomes(kStopEcho + kConfigEcho)) << Log();
    EXPECT_EQ("", Wire(0));
}

TEST_F(TransmitTest, StopThenConfigWhileWindowThreadSleeps)
{
    // The port choice: stop frame, 150 ms without taking messages, then the
    // configuration request. Each must reach the wire once, in order.
    SendStopScan();
    Sleep(150);
    SendConfigRequest();
    EXPECT_TRUE(LogBecomes(kStopEcho + kConfigEcho)) << Log();
    EXPECT_EQ(FrameHex(0) + FrameHex(2), Wire(23));
}

TEST_F(TransmitTest, HandOffsWhileEchoWaitsKeepTheTakenFrame)
{
    // The thread takes the stop frame and waits for its echo; two more
    // hand-offs arrive meanwhile. The stop frame is still written as echoed,
    // then one echo and one write of the newest frame follow.
    SendStopScan();
    Sleep(100);
    SendConfigRequest();
    BuildScanControlFrame(TxFrameBuffer, 1, &txFrameLength);
    HandOffFrame(TxFrameBuffer, txFrameLength);
    EXPECT_TRUE(LogBecomes(kStopEcho + kStartEcho)) << Log();
    EXPECT_EQ(FrameHex(0) + FrameHex(1), Wire(24));
}

TEST_F(TransmitTest, PausableMessageSendsNothingWhilePaused)
{
    logPaused = 1;
    PausableDlgItemMessage(w.main, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM) "hidden");
    EXPECT_EQ("", Log());
    logPaused = 0;
    PausableDlgItemMessage(w.main, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM) "shown");
    EXPECT_EQ("shown", Log());
}

} // namespace
