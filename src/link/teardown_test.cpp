// TeardownLink at the end of the process. Each scenario runs in a process of
// its own (the link can be torn down once), chosen by --gtest_filter.
#include "transmit.h"

#include "app_state.h"
#include "control_ids.h"
#include "qrn_frame.h"
#include "win_fixture.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Link {
    TestWindow w;
    HANDLE dongle;
};

Link OpenLink()
{
    Link l;
    l.w = CreateTestWindow();
    EXPECT_EQ(0, CreateTxEvent());
    EXPECT_EQ(0, StartTransmitterThread(l.w.main));
    portHandle = OpenTestPort(TEST_CONSOLE_PORT);
    l.dongle = OpenTestPort(TEST_DONGLE_PORT);
    EXPECT_NE(INVALID_HANDLE_VALUE, portHandle.load());
    DrainPort(l.dongle);
    return l;
}

// The main window's destruction: stop frame, 300 ms without messages, the
// window goes, the loop ends and the link is torn down. The dongle must have
// the stop frame although the port is closed right after.
void ShutdownReachesWire(int paused)
{
    Link l = OpenLink();
    logPaused = paused;
    std::vector<uint8_t> wire;
    std::thread reader([&] { wire = ReadPort(l.dongle, 12, 5000); });
    SendStopScan();
    Sleep(300);
    DestroyWindow(l.w.main);
    DWORD start = GetTickCount();
    TeardownLink();
    DWORD took = GetTickCount() - start;
    reader.join();
    uint8_t stop[12];
    uint8_t len;
    BuildScanControlFrame(stop, 0, &len);
    EXPECT_EQ(Hex(std::vector<uint8_t>(stop, stop + 12)), Hex(wire));
    EXPECT_LT(took, 10000u) << "teardown is bounded";
    EXPECT_EQ(INVALID_HANDLE_VALUE, portHandle.load());
}

TEST(Teardown, ShutdownFrameReachesWireWithLogging) { ShutdownReachesWire(0); }

TEST(Teardown, ShutdownFrameReachesWireWhilePaused) { ShutdownReachesWire(1); }

TEST(Teardown, WhileThreadWaitsEndsWithoutEchoOrWrite)
{
    Link l = OpenLink();
    PumpFor(50);
    TeardownLink();
    // The thread woke, found the link gone and ended: nothing echoed, nothing
    // written, and later hand-offs have no thread to reach.
    PumpFor(200);
    EXPECT_EQ("", ControlText(l.w.main, IDC_TRAFFIC_LOG));
    EXPECT_TRUE(ReadPort(l.dongle, 1, 300).empty());
    EXPECT_EQ(0, linkRunning.load());
}

TEST(Teardown, WithEchoStuckOnSilentWindowIsBounded)
{
    // The window thread never takes the echo (it is busy in teardown and the
    // echo is for its own window): teardown answers sent messages while it
    // waits, so the frame still goes out.
    Link l = OpenLink();
    std::vector<uint8_t> wire;
    std::thread reader([&] { wire = ReadPort(l.dongle, 12, 5000); });
    SendStopScan();
    TeardownLink();
    reader.join();
    EXPECT_EQ(12u, wire.size());
}

} // namespace
