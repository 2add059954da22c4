#include "tiles.h"

#include "roster.h"

#include <string.h>

// Cached per tile and state, together with the kind whose colours they
// carry; a tile whose slot now holds the other kind gets a new brush.
// User-interface thread only.
static HBRUSH tileBrushNormal[ROSTER_SLOTS];
static HBRUSH tileBrushHot[ROSTER_SLOTS];
static bool tileBrushNormalQorvessa[ROSTER_SLOTS];
static bool tileBrushHotQorvessa[ROSTER_SLOTS];
static TOOLINFOA tileToolInfo[ROSTER_SLOTS];

LRESULT DrawTile(NMCUSTOMDRAW *record)
{
    if (!record || record->hdr.code != (UINT)NM_CUSTOMDRAW)
        return CDRF_DODEFAULT;
    if (record->hdr.idFrom < TILE_ID_BASE || record->hdr.idFrom >= TILE_ID_BASE + ROSTER_SLOTS)
        return CDRF_DODEFAULT;
    int i = (int)(record->hdr.idFrom - TILE_ID_BASE);

    DeviceSlot slot;
    CopySlot(i, &slot);
    if (slot.mark != SLOT_MARKED)
        return CDRF_DODEFAULT;

    bool hot = (record->uItemState & CDIS_HOT) != 0;
    bool qorvessa = slot.kind == KIND_QORVESSA;
    HBRUSH &brush = hot ? tileBrushHot[i] : tileBrushNormal[i];
    bool &brushQorvessa = hot ? tileBrushHotQorvessa[i] : tileBrushNormalQorvessa[i];
    if (brush && brushQorvessa != qorvessa) {
        DeleteObject(brush);
        brush = nullptr;
    }
    if (!brush) {
        COLORREF colour = TileColour(slot.kind, hot);
        brush = MakeGradientBrush(colour, colour, record);
        brushQorvessa = qorvessa;
    }

    HPEN pen = CreatePen(PS_INSIDEFRAME, 0, RGB(0, 0, 0));
    HGDIOBJ oldPen = SelectObject(record->hdc, pen);
    HGDIOBJ oldBrush = SelectObject(record->hdc, brush);
    RoundRect(record->hdc, record->rc.left, record->rc.top, record->rc.right, record->rc.bottom, 10, 10);
    SelectObject(record->hdc, oldPen);
    SelectObject(record->hdc, oldBrush);
    DeleteObject(pen);
    return CDRF_DODEFAULT;
}

HBRUSH MakeGradientBrush(COLORREF top, COLORREF bottom, const NMCUSTOMDRAW *record)
{
    int width = record->rc.right - record->rc.left;
    int height = record->rc.bottom - record->rc.top;
    HDC memory = CreateCompatibleDC(record->hdc);
    HBITMAP bitmap = CreateCompatibleBitmap(record->hdc, width, height);
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
    for (int y = 0; y < height; ++y) {
        HBRUSH row = CreateSolidBrush(GradientRowColour(top, bottom, y, height));
        RECT line = {0, y, width, y + 1};
        FillRect(memory, &line, row);
        DeleteObject(row);
    }
    SelectObject(memory, oldBitmap);
    HBRUSH pattern = CreatePatternBrush(bitmap);
    DeleteDC(memory);
    DeleteObject(bitmap);
    return pattern;
}

void RefreshTileTooltip(HWND mainWindow, WORD identifier)
{
    if (identifier < TIP_REFRESH_BASE || identifier > TIP_REFRESH_BASE + ROSTER_SLOTS - 1)
        return;
    int s = identifier - TIP_REFRESH_BASE;
    DeviceSlot slot;
    CopySlot(s, &slot);
    char text[TIP_TEXT_SIZE];
    FormatTipAddress(slot.address, text);
    AttachTileTooltip(s, mainWindow, text);
}

HWND AttachTileTooltip(int slot, HWND mainWindow, const char *text)
{
    if (slot < 0 || slot >= ROSTER_SLOTS || !tileWindows[slot] || !tileTooltips[slot])
        return nullptr;
    TOOLINFOA &info = tileToolInfo[slot];
    memset(&info, 0, sizeof info);
    info.cbSize = TTTOOLINFOA_V1_SIZE;
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = mainWindow;
    info.uId = (UINT_PTR)tileWindows[slot];
    info.lpszText = (LPSTR)text;
    SendMessageA(tileTooltips[slot], TTM_ACTIVATE, TRUE, 0);

    // One tool per tile: added at the first refresh, its text updated after.
    char known[80];
    TOOLINFOA probe;
    memset(&probe, 0, sizeof probe);
    probe.cbSize = TTTOOLINFOA_V1_SIZE;
    probe.hwnd = mainWindow;
    probe.uId = info.uId;
    probe.lpszText = known;
    if (SendMessageA(tileTooltips[slot], TTM_GETTOOLINFOA, 0, (LPARAM)&probe))
        SendMessageA(tileTooltips[slot], TTM_UPDATETIPTEXTA, 0, (LPARAM)&info);
    else
        SendMessageA(tileTooltips[slot], TTM_ADDTOOLA, 0, (LPARAM)&info);
    return tileTooltips[slot];
}

void ReleaseTileBrushes(void)
{
    for (int i = 0; i < ROSTER_SLOTS; ++i) {
        DeleteObject(tileBrushNormal[i]);
        DeleteObject(tileBrushHot[i]);
        tileBrushNormal[i] = nullptr;
        tileBrushHot[i] = nullptr;
    }
}

HBRUSH TileBrush(int slot, bool hot)
{
    if (slot < 0 || slot >= ROSTER_SLOTS)
        return nullptr;
    return hot ? tileBrushHot[slot] : tileBrushNormal[slot];
}
