#include "roster.h"
#include "tiles.h"
#include "win_fixture.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

class RosterWindow : public ::testing::Test {
protected:
    TestWindow w = {};

    void SetUp() override
    {
        w = CreateTestWindow();
        ASSERT_TRUE(w.main);
        memcpy(tileWindows, w.tiles, sizeof tileWindows);
        memcpy(tileTooltips, w.tips, sizeof tileTooltips);
        ResetRoster();
    }

    void TearDown() override
    {
        ReleaseTileBrushes();
        DestroyTestWindow(w);
        memset(tileWindows, 0, sizeof tileWindows);
        memset(tileTooltips, 0, sizeof tileTooltips);
    }

    std::string Tile(int s) { return WindowText(w.tiles[s]); }
    std::string Count() { return ControlText(w.main, IDC_MARKED_COUNT); }
    void Click(int s) { ToggleTileMark(w.main, (WORD)(TILE_ID_BASE + s)); }

    int ToolCount(int s) { return (int)SendMessageA(w.tips[s], TTM_GETTOOLCOUNT, 0, 0); }

    // The text of tile s's tool, or "<none>" when the tile is no tool.
    std::string TipText(int s)
    {
        char text[80] = "";
        TOOLINFOA info;
        memset(&info, 0, sizeof info);
        info.cbSize = TTTOOLINFOA_V1_SIZE;
        info.hwnd = w.main;
        info.uId = (UINT_PTR)w.tiles[s];
        info.lpszText = text;
        if (!SendMessageA(w.tips[s], TTM_GETTOOLINFOA, 0, (LPARAM)&info))
            return "<none>";
        return text;
    }

    // Registers a monitor with values so that its tile shows its caption.
    int Report(const char *name, const char *address, int hr, int rr, int bat)
    {
        int s = RegisterDevice(name, address);
        if (s >= 0)
            SetTileCaption(w.main, s, hr, rr, bat);
        return s;
    }
};

TEST_F(RosterWindow, CaptionsReadBack)
{
    ASSERT_EQ(0, RegisterDevice("Qorvessa 7", "0A1B2C3D4E5F"));
    EXPECT_EQ("empty", Tile(0)); // registration alone leaves the tile

    struct {
        bool mark;
        int hr, rr, bat;
        const char *caption;
    } steps[] = {
        {false, 72, 812, 95, "Qorvessa 7\n\n"},
        {true, 72, 0, 95, "Qorvessa 7\nHR: 72\nBat: 95%"},
        {true, 72, 812, 95, "Qorvessa 7\nHR: 72 , RR: 812\nBat: 95%"},
        {true, 73, KEEP_VALUE, 94, "Qorvessa 7\nHR: 73 , RR: 812\nBat: 94%"},
        {true, 73, 65535, 94, "Qorvessa 7\nHR: 73 , RR: 812\nBat: 94%"},
    };
    for (const auto &st : steps) {
        DeviceSlot slot;
        CopySlot(0, &slot);
        if ((slot.mark == SLOT_MARKED) != st.mark)
            Click(0);
        SetTileCaption(w.main, 0, st.hr, st.rr, st.bat);
        EXPECT_EQ(st.caption, Tile(0));
        CopySlot(0, &slot);
        EXPECT_EQ(st.hr, slot.heartRate);
        EXPECT_EQ(st.bat, slot.battery);
    }
}

TEST_F(RosterWindow, StoredResetRrIsShown)
{
    ASSERT_EQ(0, RegisterDevice("Other", "000000000001"));
    Click(0);
    SetTileCaption(w.main, 0, 60, KEEP_VALUE, 80);
    EXPECT_EQ("Other\nHR: 60 , RR: 65535\nBat: 80%", Tile(0));
}

TEST_F(RosterWindow, MarkingCountsAndUnmarkingClearsValues)
{
    ASSERT_EQ(0, Report("Qorvessa A", "000000000001", 70, 800, 90));
    ASSERT_EQ(1, Report("Other B", "000000000002", 71, 801, 91));

    Click(0);
    EXPECT_EQ("1", Count());
    EXPECT_EQ("Qorvessa A\n\n", Tile(0)); // marking does not rewrite the caption
    Click(1);
    EXPECT_EQ("2", Count());

    Click(0);
    EXPECT_EQ("1", Count());
    EXPECT_EQ("Qorvessa A\n\n", Tile(0));
    DeviceSlot slot;
    CopySlot(0, &slot);
    EXPECT_EQ(SLOT_UNMARKED, slot.mark);
    EXPECT_EQ(0, slot.heartRate);
    EXPECT_EQ(0, slot.rrInterval);
    EXPECT_EQ(0, slot.battery);
    // Marked again, the next report shows the zeros it keeps.
    Click(0);
    SetTileCaption(w.main, 0, KEEP_VALUE, KEEP_VALUE, KEEP_VALUE);
    EXPECT_EQ("Qorvessa A\nHR: 0\nBat: 0%", Tile(0));
}

TEST_F(RosterWindow, ClicksOutsideUsedTilesChangeNothing)
{
    ASSERT_EQ(0, Report("Qorvessa A", "000000000001", 70, 800, 90));
    SetControlText(w.main, IDC_MARKED_COUNT, "x");
    DeviceSlot before[ROSTER_SLOTS], after[ROSTER_SLOTS];
    CopyRoster(before);
    for (int id : {TILE_ID_BASE + 1, TILE_ID_BASE + 19, TILE_ID_BASE - 1, TILE_ID_BASE + 20, 0, 44})
        ToggleTileMark(w.main, (WORD)id);
    CopyRoster(after);
    EXPECT_EQ(0, memcmp(before, after, sizeof before));
    EXPECT_EQ("x", Count());
}

TEST_F(RosterWindow, SetTileCaptionOfFreeSlotLeavesEmpty)
{
    SetTileCaption(w.main, 4, 70, 800, 90);
    EXPECT_EQ("empty", Tile(4));
    DeviceSlot slot;
    CopySlot(4, &slot);
    EXPECT_EQ(0, slot.inUse);
    EXPECT_EQ(255, slot.heartRate);
}

TEST_F(RosterWindow, ClearUselessMovesMarkedTiles)
{
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        char name[26], address[13];
        wsprintfA(name, s % 2 ? "Other %d" : "Qorvessa %d", s);
        wsprintfA(address, "A000000000%02d", s);
        ASSERT_EQ(s, Report(name, address, 60 + s, 800 + s, 50 + s));
    }
    for (int s : {3, 7, 12})
        Click(s);
    ASSERT_EQ("3", Count());
    for (int s : {0, 3, 19})
        RefreshTileTooltip(w.main, (WORD)(TIP_REFRESH_BASE + s));
    SetControlText(w.main, IDC_MARKED_COUNT, "kept");

    ClearUseless(w.main);

    EXPECT_EQ("Other 3\nHR: 63 , RR: 803\nBat: 53%", Tile(0));
    EXPECT_EQ("Other 7\nHR: 67 , RR: 807\nBat: 57%", Tile(1));
    EXPECT_EQ("Qorvessa 12\nHR: 72 , RR: 812\nBat: 62%", Tile(2));
    for (int s = 3; s < ROSTER_SLOTS; ++s) {
        EXPECT_EQ("empty", Tile(s)) << s;
        EXPECT_FALSE(IsSlotInUse(s)) << s;
    }
    EXPECT_EQ("kept", Count());
    EXPECT_EQ(0, FindSlotByAddress("A00000000003"));
    EXPECT_EQ(2, FindSlotByAddress("A00000000012"));
    EXPECT_EQ(-1, FindSlotByAddress("A00000000000"));

    // Tile 3's tooltip still holds the old text until its next refresh,
    // which then shows the emptied address.
    RefreshTileTooltip(w.main, (WORD)(TIP_REFRESH_BASE + 3));
    EXPECT_EQ("", TipText(3));
    RefreshTileTooltip(w.main, (WORD)(TIP_REFRESH_BASE + 0));
    EXPECT_EQ("A0:00:00:00:00:03", TipText(0));
}

TEST_F(RosterWindow, ClearUselessWithNoneMarkedFreesAll)
{
    for (int s = 0; s < 5; ++s) {
        char address[13];
        wsprintfA(address, "B000000000%02d", s);
        ASSERT_EQ(s, Report("Qorvessa", address, 60, 0, 50));
    }
    SetControlText(w.main, IDC_MARKED_COUNT, "0");
    ClearUseless(w.main);
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        EXPECT_EQ("empty", Tile(s)) << s;
        EXPECT_FALSE(IsSlotInUse(s));
    }
    EXPECT_EQ("0", Count());
}

TEST_F(RosterWindow, MovedMonitorWithoutReportShowsResetValues)
{
    ASSERT_EQ(0, Report("Other A", "000000000001", 70, 800, 90));
    ASSERT_EQ(1, RegisterDevice("Qorvessa B", "000000000002"));
    Click(1);
    ClearUseless(w.main);
    EXPECT_EQ("Qorvessa B\nHR: 255 , RR: 65535\nBat: 255%", Tile(0));
    EXPECT_EQ("empty", Tile(1));
}

TEST_F(RosterWindow, ScanStopEmptiesEverything)
{
    ASSERT_EQ(0, Report("Qorvessa A", "000000000001", 70, 800, 90));
    ASSERT_EQ(1, Report("Other B", "000000000002", 71, 801, 91));
    Click(1);
    ASSERT_EQ("1", Count());
    RefreshTileTooltip(w.main, (WORD)(TIP_REFRESH_BASE + 1));

    ClearRosterOnScanStop(w.main);

    EXPECT_EQ("", Count());
    DeviceSlot roster[ROSTER_SLOTS];
    CopyRoster(roster);
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        EXPECT_EQ("empty", Tile(s)) << s;
        EXPECT_EQ(0, roster[s].inUse);
        EXPECT_EQ(SLOT_UNMARKED, roster[s].mark);
        EXPECT_EQ(255, roster[s].heartRate);
        EXPECT_EQ(65535, roster[s].rrInterval);
        EXPECT_EQ(255, roster[s].battery);
    }
    EXPECT_EQ(0, RegisterDevice("Other B", "000000000002"));
}

TEST_F(RosterWindow, ScanStopFromAnotherThread)
{
    ASSERT_EQ(0, Report("Qorvessa A", "000000000001", 70, 800, 90));
    Click(0);
    struct Arg {
        HWND main;
        static DWORD WINAPI Run(LPVOID p)
        {
            ClearRosterOnScanStop(((Arg *)p)->main);
            return 0;
        }
    } arg = {w.main};
    HANDLE thread = CreateThread(nullptr, 0, Arg::Run, &arg, 0, nullptr);
    ASSERT_TRUE(thread);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 20000));
    CloseHandle(thread);
    EXPECT_EQ("empty", Tile(0));
    EXPECT_EQ("", Count());
}

TEST_F(RosterWindow, TooltipShowsAddressPairs)
{
    ASSERT_EQ(5, [&] {
        for (int s = 0; s < 5; ++s) {
            char address[13];
            wsprintfA(address, "C000000000%02d", s);
            RegisterDevice("Other", address);
        }
        return RegisterDevice("Qorvessa", "0A1B2C3D4E5F");
    }());
    EXPECT_EQ("<none>", TipText(5));
    RefreshTileTooltip(w.main, (WORD)(TIP_REFRESH_BASE + 5));
    EXPECT_EQ("0A:1B:2C:3D:4E:5F", TipText(5));
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        EXPECT_EQ(s == 5 ? 1 : 0, ToolCount(s)) << s;
}

TEST_F(RosterWindow, ThousandRefreshesLeaveOneTool)
{
    ASSERT_EQ(0, RegisterDevice("Qorvessa", "0A1B2C3D4E5F"));
    for (int i = 0; i < 1000; ++i)
        RefreshTileTooltip(w.main, (WORD)TIP_REFRESH_BASE);
    EXPECT_EQ(1, ToolCount(0));
    EXPECT_EQ("0A:1B:2C:3D:4E:5F", TipText(0));

    // A new monitor in the slot updates the one tool.
    ClearRosterOnScanStop(w.main);
    ASSERT_EQ(0, RegisterDevice("Other", "FFEEDDCCBBAA"));
    RefreshTileTooltip(w.main, (WORD)TIP_REFRESH_BASE);
    EXPECT_EQ(1, ToolCount(0));
    EXPECT_EQ("FF:EE:DD:CC:BB:AA", TipText(0));
}

TEST_F(RosterWindow, RefreshOutsideRangeChangesNoTooltip)
{
    ASSERT_EQ(0, RegisterDevice("Qorvessa", "0A1B2C3D4E5F"));
    for (int s = 1; s < ROSTER_SLOTS; ++s) {
        char address[13];
        wsprintfA(address, "D000000000%02d", s);
        ASSERT_EQ(s, RegisterDevice("Other", address));
    }
    for (int id : {TIP_REFRESH_BASE - 1, TIP_REFRESH_BASE + 20, TILE_ID_BASE, 0, 0xFFFF})
        RefreshTileTooltip(w.main, (WORD)id);
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        EXPECT_EQ(0, ToolCount(s)) << s;
}

TEST_F(RosterWindow, AttachNeedsTileAndTooltip)
{
    HWND tip = tileTooltips[2];
    tileTooltips[2] = nullptr;
    EXPECT_EQ(nullptr, AttachTileTooltip(2, w.main, "x"));
    tileTooltips[2] = tip;
    tileWindows[3] = nullptr;
    EXPECT_EQ(nullptr, AttachTileTooltip(3, w.main, "x"));
    tileWindows[3] = w.tiles[3];
    EXPECT_EQ(w.tips[4], AttachTileTooltip(4, w.main, "x"));
    EXPECT_EQ("x", TipText(4));
    EXPECT_EQ(0, ToolCount(2));
    EXPECT_EQ(0, ToolCount(3));
}

// A 32-bit memory surface standing in for a tile's device context.
class Surface {
public:
    static const int W = 246, H = 118;
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    uint32_t *bits = nullptr;

    Surface()
    {
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = W;
        bi.bmiHeader.biHeight = -H;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, (void **)&bits, nullptr, 0);
        old = SelectObject(dc, bitmap);
        Clear();
    }
    ~Surface()
    {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    void Clear()
    {
        RECT r = {0, 0, W, H};
        FillRect(dc, &r, (HBRUSH)GetStockObject(WHITE_BRUSH));
        GdiFlush();
    }
    bool AllWhite()
    {
        GdiFlush();
        for (int i = 0; i < W * H; ++i)
            if ((bits[i] & 0xFFFFFF) != 0xFFFFFF)
                return false;
        return true;
    }
    NMCUSTOMDRAW Record(HWND tile, int slot, bool hot, UINT code = (UINT)NM_CUSTOMDRAW)
    {
        NMCUSTOMDRAW r;
        memset(&r, 0, sizeof r);
        r.hdr.hwndFrom = tile;
        r.hdr.idFrom = (UINT_PTR)(TILE_ID_BASE + slot);
        r.hdr.code = code;
        r.dwDrawStage = CDDS_PREPAINT;
        r.hdc = dc;
        r.rc.right = W;
        r.rc.bottom = H;
        r.uItemState = hot ? CDIS_HOT : 0;
        return r;
    }
    COLORREF Centre() { return GetPixel(dc, W / 2, H / 2) & 0xFFFFFF; }
};

TEST_F(RosterWindow, UnmarkedOrForeignRecordDrawsNothing)
{
    Surface surface;
    ASSERT_EQ(0, RegisterDevice("Qorvessa", "0A1B2C3D4E5F"));
    NMCUSTOMDRAW r = surface.Record(w.tiles[0], 0, false);
    EXPECT_EQ(CDRF_DODEFAULT, DrawTile(&r));
    EXPECT_TRUE(surface.AllWhite());

    Click(0);
    NMCUSTOMDRAW other = surface.Record(w.tiles[0], 0, false, (UINT)NM_CLICK);
    EXPECT_EQ(0, DrawTile(&other));
    other = surface.Record(w.tiles[0], 0, false);
    other.hdr.idFrom = IDC_START_BUTTON;
    EXPECT_EQ(0, DrawTile(&other));
    other.hdr.idFrom = TILE_ID_BASE + 20;
    EXPECT_EQ(0, DrawTile(&other));
    EXPECT_TRUE(surface.AllWhite());
    EXPECT_EQ(nullptr, TileBrush(0, false));
}

TEST_F(RosterWindow, MarkedTileFilledInItsKindsColours)
{
    Surface surface;
    ASSERT_EQ(0, RegisterDevice("Qorvessa A", "000000000001"));
    ASSERT_EQ(1, RegisterDevice("Other B", "000000000002"));
    Click(0);
    Click(1);
    struct {
        int slot;
        bool hot;
        COLORREF colour;
    } cases[] = {
        {0, false, 0xFF8000}, {0, true, 0xBD350B}, {1, false, 0xB740D5}, {1, true, 0x8C24A6},
    };
    for (const auto &c : cases) {
        surface.Clear();
        NMCUSTOMDRAW r = surface.Record(w.tiles[c.slot], c.slot, c.hot);
        EXPECT_EQ(CDRF_DODEFAULT, DrawTile(&r));
        EXPECT_EQ(c.colour, surface.Centre()) << c.slot << c.hot;
        EXPECT_EQ(c.colour, GetPixel(surface.dc, 5, 5) & 0xFFFFFF);
        EXPECT_EQ(0u, GetPixel(surface.dc, Surface::W / 2, 0) & 0xFFFFFF); // black frame
        EXPECT_EQ(0xFFFFFFu, GetPixel(surface.dc, 0, 0) & 0xFFFFFF);     // rounded corner
    }
}

TEST_F(RosterWindow, TileFollowsKindOfItsCurrentMonitor)
{
    Surface surface;
    ASSERT_EQ(0, RegisterDevice("Qorvessa A", "000000000001"));
    ASSERT_EQ(1, RegisterDevice("Other B", "000000000002"));
    Click(0);
    Click(1);
    for (bool hot : {false, true}) {
        NMCUSTOMDRAW r = surface.Record(w.tiles[0], 0, hot);
        DrawTile(&r);
    }
    // Drop the Qorvessa monitor; the other kind moves into tile 0.
    Click(0);
    ClearUseless(w.main);
    ASSERT_EQ(0, FindSlotByAddress("000000000002"));
    for (bool hot : {false, true}) {
        surface.Clear();
        NMCUSTOMDRAW r = surface.Record(w.tiles[0], 0, hot);
        DrawTile(&r);
        EXPECT_EQ(hot ? 0x8C24A6u : 0xB740D5u, surface.Centre()) << hot;
    }
    // And back: a Qorvessa monitor registered into the freed slot 0.
    ClearRosterOnScanStop(w.main);
    ASSERT_EQ(0, RegisterDevice("Qorvessa C", "000000000003"));
    Click(0);
    surface.Clear();
    NMCUSTOMDRAW r = surface.Record(w.tiles[0], 0, false);
    DrawTile(&r);
    EXPECT_EQ(0xFF8000u, surface.Centre());
}

TEST_F(RosterWindow, BrushesAreBuiltOnceAndAllReleased)
{
    Surface surface;
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        char address[13];
        wsprintfA(address, "E000000000%02d", s);
        ASSERT_EQ(s, RegisterDevice(s % 2 ? "Other" : "Qorvessa", address));
        Click(s);
    }
    HBRUSH brushes[2 * ROSTER_SLOTS];
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        for (int hot = 0; hot < 2; ++hot) {
            NMCUSTOMDRAW r = surface.Record(w.tiles[s], s, hot != 0);
            DrawTile(&r);
            HBRUSH first = TileBrush(s, hot != 0);
            DrawTile(&r);
            EXPECT_EQ(first, TileBrush(s, hot != 0)); // reused, not rebuilt
            brushes[2 * s + hot] = first;
        }
    for (int i = 0; i < 2 * ROSTER_SLOTS; ++i) {
        ASSERT_EQ((DWORD)OBJ_BRUSH, GetObjectType(brushes[i])) << i;
        for (int j = 0; j < i; ++j)
            ASSERT_NE(brushes[i], brushes[j]);
    }

    ReleaseTileBrushes();

    int released = 0;
    for (int i = 0; i < 2 * ROSTER_SLOTS; ++i)
        if (GetObjectType(brushes[i]) == 0)
            ++released;
    EXPECT_EQ(40, released);
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        EXPECT_EQ(nullptr, TileBrush(s, false));
        EXPECT_EQ(nullptr, TileBrush(s, true));
    }
    ReleaseTileBrushes(); // a second release is harmless
}

} // namespace
