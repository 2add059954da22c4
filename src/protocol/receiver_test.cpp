// The ReceiverThread on a real window, fed through a pty-backed COM port by
// the test playing the dongle.
#include "receiver.h"

#include "app_state.h"
#include "control_ids.h"
#include "qrn_frame.h"
#include "roster.h"
#include "transmit.h"
#include "win_fixture.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Frame(const Bytes &body)
{
    Bytes f(3 + body.size() + 1);
    f[0] = 'Q';
    f[1] = 'R';
    f[2] = 'N';
    memcpy(f.data() + 3, body.data(), body.size());
    f.back() = FrameChecksumByte(body.data(), (uint32_t)body.size());
    return f;
}

void Append(Bytes &to, const Bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

void AppendField(Bytes &to, const char *text, size_t width)
{
    Bytes f(width, 0);
    memcpy(f.data(), text, strlen(text));
    Append(to, f);
    to.push_back(FIELD_END);
}

Bytes Config()
{
    Bytes body = {1, 2, 0, 0, 0, 28};
    AppendField(body, "DONGLE-01", 12);
    AppendField(body, "A1B2C3D4E5F6", 12);
    body.push_back(1);
    body.push_back(7);
    return Frame(body);
}

Bytes Register(const char *name, const char *address, uint8_t heartRate, uint8_t battery)
{
    Bytes body = {0, 4, 0, 1, 0, 45};
    AppendField(body, name, 25);
    AppendField(body, address, 12);
    Append(body, {0x80, 0xC4, heartRate, 0x03, 0x3E, battery});
    return Frame(body);
}

Bytes Ack() { return Frame({0, 0, 0, 0}); }

int tipRefreshes[ROSTER_SLOTS];

void CountTipRefresh(HWND, WPARAM wParam, LPARAM)
{
    int id = LOWORD(wParam);
    if (id >= TIP_REFRESH_BASE && id < TIP_REFRESH_BASE + ROSTER_SLOTS)
        tipRefreshes[id - TIP_REFRESH_BASE]++;
}

bool Contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

// The console's and the dongle's ends of a COM port pair, both drained.
bool OpenPortPair(HANDLE *console, HANDLE *dongle)
{
    *dongle = OpenTestPort(TEST_DONGLE_PORT);
    *console = OpenTestPort(TEST_CONSOLE_PORT);
    if (*dongle == INVALID_HANDLE_VALUE || *console == INVALID_HANDLE_VALUE)
        return false;
    DrainPort(*dongle);
    DrainPort(*console);
    return true;
}

// Ends a ReceiverThread outside a read, so that no read of the port is left
// half done behind it.
void EndReceiver(HANDLE thread)
{
    portHandle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(PumpUntil([] { return rxReading == 0; }, 5000));
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    rxReading = 0;
}

TEST(ReceiverThread, ActsOnTheDonglesFramesFromTheComPort)
{
    TestWindow w = CreateTestWindow();
    memcpy(tileWindows, w.tiles, sizeof tileWindows);
    memcpy(tileTooltips, w.tips, sizeof tileTooltips);
    ResetRoster();
    memset(tipRefreshes, 0, sizeof tipRefreshes);
    testCommandHook = CountTipRefresh;
    HANDLE dongle, console;
    ASSERT_TRUE(OpenPortPair(&console, &dongle));
    scanToggleArmed = 0; // Start was pressed
    scanActive = 0;
    stopAckPending = 1; // the stop frame sent at the port opening
    linkRunning = 1;
    portHandle = console;
    HANDLE thread = CreateThread(nullptr, 0, ReceiverThread, w.main, 0, nullptr);
    ASSERT_NE(thread, (HANDLE)nullptr);

    // The answer to the opening's stop frame, with a report behind it that
    // the acknowledgement drops; then the configuration data and a report.
    Bytes line = Ack();
    Append(line, Register("dropped", "000000000000", 1, 1));
    ASSERT_TRUE(WritePort(dongle, line));
    EXPECT_TRUE(PumpUntil([&] { return stopAckPending == 0; }, 10000));
    line = Config();
    Append(line, Register("Qorvessa H7", "AABBCCDDEEFF", 72, 90));
    ASSERT_TRUE(WritePort(dongle, line));
    EXPECT_TRUE(PumpUntil([&] { return Contains(ControlText(w.main, IDC_TRAFFIC_LOG), "trust"); }, 10000));
    PumpFor(100);

    EXPECT_EQ(ControlText(w.main, IDC_DONGLE_INFO), "DONGLE-01 @A1:B2:C3:D4:E5:F6  Ver. 1.07");
    EXPECT_EQ(ControlText(w.main, IDC_START_BUTTON), "Stop !!!");
    EXPECT_EQ(scanActive.load(), 1);
    EXPECT_EQ(scanToggleArmed.load(), 1);
    EXPECT_EQ(ControlText(w.main, IDC_TRAFFIC_LOG),
              "\r\n>> got dongle ack\r\n\r\n>> got dongle config data\r\n\r\ntrust, 72, 90\r\n");
    EXPECT_EQ(FindSlotByAddress("AABBCCDDEEFF"), 0);
    EXPECT_EQ(FindSlotByAddress("000000000000"), -1);
    EXPECT_TRUE(Contains(WindowText(w.tiles[0]), "Qorvessa H7")) << WindowText(w.tiles[0]);
    EXPECT_EQ(tipRefreshes[0], 1);

    // Stopping: the acknowledgement empties the roster and the tiles.
    scanToggleArmed = 0;
    ASSERT_TRUE(WritePort(dongle, Ack()));
    EXPECT_TRUE(PumpUntil([&] { return ControlText(w.main, IDC_START_BUTTON) == "Start ..."; }, 10000));
    PumpFor(100);
    EXPECT_EQ(scanActive.load(), 0);
    EXPECT_EQ(WindowText(w.tiles[0]), "empty");
    EXPECT_EQ(FindSlotByAddress("AABBCCDDEEFF"), -1);

    EndReceiver(thread);
    testCommandHook = nullptr;
    CloseHandle(console);
    CloseHandle(dongle);
    DestroyTestWindow(w);
}

// While the ReceiverThread polls an idle port, its reads follow each other
// with only a few instructions between them. Every frame handed off must
// still reach the wire, each on its own: the TransmitterThread waits for the
// read in progress to end, not for a moment in which no read is running.
// The process is kept to one processor, as on a busy machine: a spinning
// thread then rarely runs in the instant between two reads.
TEST(ReceiverThread, HandOffsReachTheWireWhileItPolls)
{
    DWORD_PTR processMask = 0, systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    DWORD_PTR one = processMask & (~processMask + 1);
    ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), one));
    TestWindow w = CreateTestWindow();
    HANDLE dongle, console;
    ASSERT_TRUE(OpenPortPair(&console, &dongle));
    ASSERT_EQ(0, CreateTxEvent());
    ASSERT_EQ(0, StartTransmitterThread(w.main));
    linkRunning = 1;
    logPaused = 1;  // no echo: the window thread only waits here
    portHandle = console;
    HANDLE thread = CreateThread(nullptr, 0, ReceiverThread, w.main, 0, nullptr);
    ASSERT_NE(thread, (HANDLE)nullptr);
    EXPECT_TRUE(PumpUntil([] { return rxReadsEnded > 1000; }, 10000)) << "the thread should be polling";

    uint8_t frame[16];
    uint8_t length = 0;
    BuildScanControlFrame(frame, 1, &length);
    Bytes start(frame, frame + length);
    for (int i = 0; i < 20; i++) {
        BuildScanControlFrame(TxFrameBuffer, 1, &txFrameLength);
        HandOffFrame(TxFrameBuffer, txFrameLength);
        // Generous: a bound for a frame that never comes, not a measurement.
        EXPECT_EQ(Hex(ReadPort(dongle, length, 3000)), Hex(start)) << "hand-off " << i;
    }

    EndReceiver(thread);
    logPaused = 0;
    CloseHandle(console);
    CloseHandle(dongle);
    DestroyTestWindow(w);
    SetProcessAffinityMask(GetCurrentProcess(), processMask);
}

// With no port open the thread polls without reading; after a failed port
// choice the teardown at Exit ends it and the process ends with code 0.
// Runs as a child process so that a process that cannot end is seen.
const char *const EXIT_PROBE = "TOLVANE_RX_EXIT_PROBE";

TEST(ReceiverThread, ExitProbe)
{
    if (!getenv(EXIT_PROBE))
        GTEST_SKIP() << "run by NoPortLetsTheProcessEnd";
    TestWindow w = CreateTestWindow();
    // A port is chosen and opened; the thread starts reading it.
    HANDLE console = OpenTestPort(TEST_CONSOLE_PORT2);
    ASSERT_NE(console, INVALID_HANDLE_VALUE);
    portHandle = console;
    receiverThread = CreateThread(nullptr, 0, ReceiverThread, w.main, 0, nullptr);
    ASSERT_NE(receiverThread, (HANDLE)nullptr);
    PumpFor(100);
    // The next choice fails to open: the old port is closed first and the
    // handle stays invalid.
    portHandle = INVALID_HANDLE_VALUE;
    CloseHandle(console);
    HANDLE failed = CreateFileA("\\\\.\\COM63", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(failed, INVALID_HANDLE_VALUE);
    while (rxReading.load()) // a read that had begun before the close
        PumpFor(1);
    // The thread polls all the while; it must never be seen inside a read.
    int seenReading = 0;
    for (int k = 0; k < 500; ++k) {
        PumpFor(0);
        seenReading += rxReading.load();
        Sleep(1);
    }
    EXPECT_EQ(seenReading, 0);
    EXPECT_EQ(ControlText(w.main, IDC_TRAFFIC_LOG), "");
    TeardownLink();
    DestroyTestWindow(w);
}

TEST(ReceiverThread, NoPortLetsTheProcessEnd)
{
    if (getenv(EXIT_PROBE))
        GTEST_SKIP();
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    char command[MAX_PATH + 64];
    wsprintfA(command, "\"%s\" --gtest_filter=ReceiverThread.ExitProbe", path);
    SetEnvironmentVariableA(EXIT_PROBE, "1");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA(EXIT_PROBE, nullptr);
    ASSERT_TRUE(started);
    DWORD waited = WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(waited, (DWORD)WAIT_OBJECT_0) << "the process did not end";
    EXPECT_EQ(code, 0u);
}

} // namespace
