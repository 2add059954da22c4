// The receiver thread and the user-interface thread racing on the roster of
// a real window: registrations, stored values and scan stops against
// marking, Clear Useless, drawing and tooltip refreshes.
#include "roster.h"
#include "tiles.h"
#include "win_fixture.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const int MONITORS = 32; // more than the slots, so the roster fills up

void MonitorName(int id, char name[26]) { wsprintfA(name, id % 2 ? "Other-%02d" : "Qorvessa-%02d", id); }
void MonitorAddress(int id, char address[13]) { wsprintfA(address, "F000000000%02d", id); }

int MonitorOf(const DeviceSlot &slot)
{
    int id = -1;
    if (sscanf(slot.address, "F000000000%2d", &id) != 1 || id < 0 || id >= MONITORS)
        return -1;
    return id;
}

// Empty when the table is whole, else what is wrong with it.
std::string Problems(const DeviceSlot *roster)
{
    char problem[160];
    bool seen[MONITORS] = {};
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        const DeviceSlot &d = roster[s];
        if (d.mark != SLOT_UNMARKED && d.mark != SLOT_MARKED)
            return "bad mark";
        if (!d.inUse) {
            if (d.mark != SLOT_UNMARKED) {
                wsprintfA(problem, "free slot %d marked", s);
                return problem;
            }
            continue;
        }
        int id = MonitorOf(d);
        if (id < 0) {
            wsprintfA(problem, "slot %d address '%s'", s, d.address);
            return problem;
        }
        if (seen[id]) {
            wsprintfA(problem, "monitor %d twice", id);
            return problem;
        }
        seen[id] = true;
        char name[26];
        MonitorName(id, name);
        if (strcmp(name, d.name) != 0 || d.kind != (id % 2 ? KIND_OTHER : KIND_QORVESSA)) {
            wsprintfA(problem, "slot %d name '%s' kind %d for address %s", s, d.name, d.kind, d.address);
            return problem;
        }
        bool zero = d.heartRate == 0 && d.rrInterval == 0 && d.battery == 0;
        bool reset = d.heartRate == 255 && d.rrInterval == 65535 && d.battery == 255;
        bool report = d.heartRate >= 0 && d.heartRate < MONITORS && d.rrInterval == 1000 + d.heartRate &&
                      d.battery == d.heartRate;
        if (!zero && !reset && !report) {
            wsprintfA(problem, "slot %d values %d %d %d", s, d.heartRate, d.rrInterval, d.battery);
            return problem;
        }
    }
    return "";
}

struct Receiver {
    HWND main;
    int reports;
    int stopEvery; // 0: never stops scanning
    volatile LONG problems;
    char firstProblem[160];
};

void NoteProblem(Receiver *r, const std::string &p)
{
    if (InterlockedIncrement(&r->problems) == 1)
        lstrcpynA(r->firstProblem, p.c_str(), sizeof r->firstProblem);
}

DWORD WINAPI ReceiverLoop(LPVOID param)
{
    Receiver *r = (Receiver *)param;
    unsigned seed = 12345;
    for (int i = 0; i < r->reports; ++i) {
        seed = seed * 1103515245u + 12345u;
        int id = (int)((seed >> 16) % MONITORS);
        char name[26], address[13];
        MonitorName(id, name);
        MonitorAddress(id, address);
        int s;
        if (i % 2) {
            s = RegisterDevice(name, address);
            if (s >= 0)
                SetTileCaption(r->main, s, id, 1000 + id, id);
        } else {
            s = StoreDeviceReport(r->main, name, address, id, 1000 + id, id);
        }
        if (s >= 0)
            PostMessageA(r->main, WM_COMMAND, TIP_REFRESH_BASE + s, 0);
        if (r->stopEvery && i % r->stopEvery == r->stopEvery - 1)
            ClearRosterOnScanStop(r->main);
        if (i % 16 == 0) {
            DeviceSlot copy[ROSTER_SLOTS];
            CopyRoster(copy);
            std::string p = Problems(copy);
            if (!p.empty())
                NoteProblem(r, p);
        }
    }
    return 0;
}

// Captions every monitor present from its stored values.
DWORD WINAPI RecaptionAll(LPVOID param)
{
    HWND main = (HWND)param;
    for (int id = 0; id < MONITORS; ++id) {
        char address[13];
        MonitorAddress(id, address);
        int s = FindSlotByAddress(address);
        if (s >= 0)
            SetTileCaption(main, s, KEEP_VALUE, KEEP_VALUE, KEEP_VALUE);
    }
    return 0;
}

DWORD WINAPI StopScanning(LPVOID param)
{
    ClearRosterOnScanStop((HWND)param);
    return 0;
}

void RouteCommand(HWND window, WPARAM wParam, LPARAM)
{
    WORD id = LOWORD(wParam);
    if (id == IDC_CLEAR_USELESS) {
        ClearUseless(window);
        return;
    }
    ToggleTileMark(window, id);
    RefreshTileTooltip(window, id);
}

LRESULT RouteNotify(HWND, LPARAM lParam) { return DrawTile((NMCUSTOMDRAW *)lParam); }

class RosterRace : public ::testing::Test {
protected:
    TestWindow w = {};
    HDC surface = nullptr;
    HBITMAP bitmap = nullptr;

    void SetUp() override
    {
        w = CreateTestWindow();
        ASSERT_TRUE(w.main);
        memcpy(tileWindows, w.tiles, sizeof tileWindows);
        memcpy(tileTooltips, w.tips, sizeof tileTooltips);
        ResetRoster();
        testCommandHook = RouteCommand;
        testNotifyHook = RouteNotify;
        surface = CreateCompatibleDC(nullptr);
        HDC screen = GetDC(nullptr);
        bitmap = CreateCompatibleBitmap(screen, 246, 118);
        ReleaseDC(nullptr, screen);
        SelectObject(surface, bitmap);
    }

    void TearDown() override
    {
        testCommandHook = nullptr;
        testNotifyHook = nullptr;
        ReleaseTileBrushes();
        DeleteDC(surface);
        DeleteObject(bitmap);
        DestroyTestWindow(w);
        memset(tileWindows, 0, sizeof tileWindows);
        memset(tileTooltips, 0, sizeof tileTooltips);
    }

    HANDLE Start(LPTHREAD_START_ROUTINE fn, LPVOID arg)
    {
        HANDLE t = CreateThread(nullptr, 0, fn, arg, 0, nullptr);
        EXPECT_TRUE(t);
        return t;
    }

    static bool Finished(HANDLE t) { return WaitForSingleObject(t, 0) == WAIT_OBJECT_0; }

    void Join(HANDLE t)
    {
        EXPECT_TRUE(PumpUntil([&] { return Finished(t); }, 60000));
        CloseHandle(t);
    }

    // Sends the custom draw of a tile as the tile itself would.
    void Draw(int s, bool hot)
    {
        NMCUSTOMDRAW r;
        memset(&r, 0, sizeof r);
        r.hdr.hwndFrom = w.tiles[s];
        r.hdr.idFrom = TILE_ID_BASE + s;
        r.hdr.code = (UINT)NM_CUSTOMDRAW;
        r.dwDrawStage = CDDS_PREPAINT;
        r.hdc = surface;
        r.rc.right = 246;
        r.rc.bottom = 118;
        r.uItemState = hot ? CDIS_HOT : 0;
        SendMessageA(w.main, WM_NOTIFY, r.hdr.idFrom, (LPARAM)&r);
    }

    // The user-interface side of a race: clicks, Clear Useless, drawing.
    // With keepsMarks, checks that Clear Useless keeps every marked monitor
    // once, in order, in the lowest slots.
    void UiLoop(HANDLE receiver, bool keepsMarks, int *clears)
    {
        unsigned seed = 777;
        for (int round = 0; !Finished(receiver); ++round) {
            seed = seed * 1103515245u + 12345u;
            int s = (int)((seed >> 16) % ROSTER_SLOTS);
            SendMessageA(w.main, WM_COMMAND, TILE_ID_BASE + s, (LPARAM)w.tiles[s]);
            Draw(s, round % 2 != 0);
            PumpFor(0);
            if (round % 5 != 4)
                continue;

            DeviceSlot before[ROSTER_SLOTS], after[ROSTER_SLOTS];
            CopyRoster(before);
            ASSERT_EQ("", Problems(before));
            SendMessageA(w.main, WM_COMMAND, IDC_CLEAR_USELESS, 0);
            CopyRoster(after);
            ASSERT_EQ("", Problems(after));
            ++*clears;
            if (!keepsMarks)
                continue;
            int m = 0;
            for (int j = 0; j < ROSTER_SLOTS; ++j) {
                if (!before[j].inUse || before[j].mark != SLOT_MARKED)
                    continue;
                ASSERT_EQ(1, after[m].inUse) << m;
                ASSERT_EQ(SLOT_MARKED, after[m].mark) << m;
                ASSERT_STREQ(before[j].address, after[m].address) << m;
                ++m;
            }
            for (int k = m; k < ROSTER_SLOTS; ++k)
                ASSERT_NE(SLOT_MARKED, after[k].mark) << k;
        }
    }

    void ExpectTilesShowRoster()
    {
        DeviceSlot roster[ROSTER_SLOTS];
        CopyRoster(roster);
        for (int s = 0; s < ROSTER_SLOTS; ++s) {
            char caption[TILE_CAPTION_SIZE] = "empty";
            if (roster[s].inUse)
                FormatSlotCaption(&roster[s], caption);
            EXPECT_EQ(caption, WindowText(w.tiles[s])) << s;
            EXPECT_LE(SendMessageA(w.tips[s], TTM_GETTOOLCOUNT, 0, 0), 1) << s;
        }
    }

    void ExpectAllEmpty()
    {
        for (int s = 0; s < ROSTER_SLOTS; ++s) {
            EXPECT_EQ("empty", WindowText(w.tiles[s])) << s;
            EXPECT_FALSE(IsSlotInUse(s)) << s;
        }
        EXPECT_EQ("", ControlText(w.main, IDC_MARKED_COUNT));
    }
};

TEST_F(RosterRace, ReportsDuringClearUseless)
{
    Receiver r = {w.main, 3000, 0, 0, ""};
    HANDLE receiver = Start(ReceiverLoop, &r);
    int clears = 0;
    UiLoop(receiver, true, &clears);
    Join(receiver);
    EXPECT_EQ(0, r.problems) << r.firstProblem;
    EXPECT_GT(clears, 0);

    DeviceSlot roster[ROSTER_SLOTS];
    CopyRoster(roster);
    EXPECT_EQ("", Problems(roster));

    // Once both threads rest, every freed tile reads "empty" and every
    // monitor's tile its own caption: no late caption from the race stays.
    Join(Start(RecaptionAll, w.main));
    ExpectTilesShowRoster();
    ShowMarkedCount(w.main);
    char count[8];
    wsprintfA(count, "%d", CountMarkedSlots(roster));
    EXPECT_EQ(count, ControlText(w.main, IDC_MARKED_COUNT));

    Join(Start(StopScanning, w.main));
    ExpectAllEmpty();
}

TEST_F(RosterRace, ScanStopsDuringMarking)
{
    Receiver r = {w.main, 3000, 97, 0, ""};
    HANDLE receiver = Start(ReceiverLoop, &r);
    int clears = 0;
    UiLoop(receiver, false, &clears);
    Join(receiver);
    EXPECT_EQ(0, r.problems) << r.firstProblem;

    Join(Start(RecaptionAll, w.main));
    ExpectTilesShowRoster();
    Join(Start(StopScanning, w.main));
    ExpectAllEmpty();
}

} // namespace
