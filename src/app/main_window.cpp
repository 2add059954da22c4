// The main window's procedure, the creation of its controls and their layout.
#include "main_window.h"

#include <commctrl.h>

#include "app_state.h"
#include "control_ids.h"
#include "ports.h"
#include "roster.h"
#include "tiles.h"
#include "transmit.h"

#define COUNTOF(a) (sizeof(a) / sizeof((a)[0]))

#define CONTROL_INITIAL_SIZE 10
#define LOG_TEXT_LIMIT 0x200000 /* 2,097,152 characters */
#define SHUTDOWN_STOP_PAUSE_MS 300

#define TILE_COLUMNS 4
#define TILE_ROWS 5
#define TILE_LEFT 10
#define TILE_TOP 88
#define TILE_WIDTH 246
#define TILE_HEIGHT 118
#define TILE_PITCH_X 246
#define TILE_PITCH_Y 123

static_assert(TILE_COLUMNS * TILE_ROWS == ROSTER_SLOTS, "the grid shows every roster slot");

// Styles, spelled out so that each matches the window's definition.
#define STYLE_LABEL (WS_CHILD | WS_VISIBLE | SS_LEFT)
#define STYLE_PORT_LIST (WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST)
#define STYLE_BUTTON (WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON)
#define STYLE_INFO_BOX (WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_WANTRETURN)
#define STYLE_COUNT_BOX (WS_CHILD | WS_VISIBLE | ES_READONLY)
#define STYLE_TILE (WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | BS_PUSHLIKE | BS_MULTILINE)
#define STYLE_TOOLTIP (WS_POPUP | TTS_BALLOON | TTS_ALWAYSTIP)
#define STYLE_LOG (WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_WANTRETURN)
#define EXSTYLE_LOG (WS_EX_CLIENTEDGE | WS_EX_DLGMODALFRAME)

static_assert(STYLE_LABEL == 0x50000000, "label style");
static_assert(STYLE_PORT_LIST == 0x50000003, "port list style");
static_assert(STYLE_BUTTON == 0x50000001, "button style");
static_assert(STYLE_INFO_BOX == 0x50001804, "info box style");
static_assert(STYLE_COUNT_BOX == 0x50000800, "count box style");
static_assert(STYLE_TILE == 0x50003000, "tile style");
static_assert(STYLE_TOOLTIP == 0x80000041, "tooltip style");
static_assert(STYLE_LOG == 0x50201804, "log style");
static_assert(EXSTYLE_LOG == 0x201, "log extended style");
static_assert(WS_EX_WINDOWEDGE == 0x100 && WS_EX_CLIENTEDGE == 0x200, "edge styles");

struct ControlDef {
    const char *className;
    const char *text;
    int id;
    DWORD exStyle;
    DWORD style;
};

// The controls made before the tiles, in creation order.
static const ControlDef headControls[] = {
    {"STATIC", "Step 1 : COM Port", IDC_PORT_LABEL, 0, STYLE_LABEL},
    {"COMBOBOX", "", IDC_PORT_LIST, 0, STYLE_PORT_LIST},
    {"BUTTON", "Start ...", IDC_START_BUTTON, WS_EX_WINDOWEDGE, STYLE_BUTTON},
    {"BUTTON", "Clear Useless", IDC_CLEAR_USELESS, WS_EX_WINDOWEDGE, STYLE_BUTTON},
    {"BUTTON", "Clear Log", IDC_CLEAR_LOG, WS_EX_WINDOWEDGE, STYLE_BUTTON},
    {"BUTTON", "Stop Log", IDC_LOG_TOGGLE, WS_EX_WINDOWEDGE, STYLE_BUTTON},
    {"edit", "", IDC_DONGLE_INFO, WS_EX_CLIENTEDGE, STYLE_INFO_BOX},
    {"edit", "", IDC_MARKED_COUNT, WS_EX_CLIENTEDGE, STYLE_COUNT_BOX},
};
static const ControlDef tileControl = {"BUTTON", "empty", TILE_ID_BASE, WS_EX_CLIENTEDGE, STYLE_TILE};
static const ControlDef logControl = {"edit", "", IDC_TRAFFIC_LOG, EXSTYLE_LOG, STYLE_LOG};

struct ControlPlace {
    int id;
    int x, y, width, height;
};

// Placed by LayoutMainWindow in this order. The PortList's height includes
// its drop-down list. The log and its two buttons have no place.
static const ControlPlace headLayout[] = {
    {IDC_PORT_LABEL, 30, 10, 150, 30},
    {IDC_PORT_LIST, 30, 40, 150, 100},
    {IDC_START_BUTTON, 210, 40, 150, 35},
    {IDC_CLEAR_USELESS, 390, 40, 150, 35},
    {IDC_DONGLE_INFO, 594, 5, 350, 30},
    {IDC_MARKED_COUNT, 250, 5, 60, 30},
};

static HWND CreateChild(HWND mainWindow, const ControlDef &def, int id)
{
    return CreateWindowExA(def.exStyle, def.className, def.text, def.style, 0, 0, CONTROL_INITIAL_SIZE,
                           CONTROL_INITIAL_SIZE, mainWindow, (HMENU)(INT_PTR)id, appInstance, NULL);
}

LRESULT OnMainWindowCreate(HWND mainWindow)
{
    for (size_t i = 0; i < COUNTOF(headControls); i++)
        CreateChild(mainWindow, headControls[i], headControls[i].id);

    for (int s = 0; s < ROSTER_SLOTS; s++) {
        CreateChild(mainWindow, tileControl, TILE_ID_BASE + s);
        tileWindows[s] = GetDlgItem(mainWindow, TILE_ID_BASE + s);
        // Owned by the main window, so the tooltips go with it.
        tileTooltips[s] = CreateWindowExA(0, TOOLTIPS_CLASSA, NULL, STYLE_TOOLTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                                          CW_USEDEFAULT, CW_USEDEFAULT, mainWindow, NULL, appInstance, NULL);
    }

    CreateChild(mainWindow, logControl, logControl.id);

    ProbeComPorts(mainWindow);
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_LIMITTEXT, LOG_TEXT_LIMIT, 0);
    return 0;
}

LRESULT LayoutMainWindow(HWND mainWindow)
{
    RECT client;
    GetClientRect(mainWindow, &client);

    for (size_t i = 0; i < COUNTOF(headLayout); i++) {
        const ControlPlace &p = headLayout[i];
        SetWindowPos(GetDlgItem(mainWindow, p.id), NULL, client.left + p.x, client.top + p.y, p.width, p.height,
                     SWP_NOZORDER);
    }

    // Column by column: slot s sits in column s / 5, row s % 5.
    for (int c = 0; c < TILE_COLUMNS; c++) {
        for (int r = 0; r < TILE_ROWS; r++) {
            SetWindowPos(GetDlgItem(mainWindow, TILE_ID_BASE + TILE_ROWS * c + r), HWND_TOP,
                         client.left + TILE_LEFT + TILE_PITCH_X * c, client.top + TILE_TOP + TILE_PITCH_Y * r,
                         TILE_WIDTH, TILE_HEIGHT, 0);
        }
    }
    return 0;
}

LRESULT OnMainWindowDestroy(HWND mainWindow)
{
    (void)mainWindow;
    ReleaseTileBrushes();
    SendStopScan();
    // Gives the stop frame its way out before the loop ends.
    Sleep(SHUTDOWN_STOP_PAUSE_MS);
    PostQuitMessage(0);
    return 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnMainWindowCreate(window);
    case WM_DESTROY:
        return OnMainWindowDestroy(window);
    case WM_SIZE:
        return LayoutMainWindow(window);
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_NOTIFY:
        return OnMainWindowNotify(window, lParam);
    case WM_COMMAND:
        OnMainWindowCommand(window, wParam, lParam);
        return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
