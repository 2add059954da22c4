// Commands and notifications of the main window, and the About dialog.
#include "main_window.h"

#include <commctrl.h>

#include "app_state.h"
#include "control_ids.h"
#include "ports.h"
#include "qrn_frame.h"
#include "roster.h"
#include "tiles.h"
#include "transmit.h"

#define COUNTOF(a) (sizeof(a) / sizeof((a)[0]))

// The log is trimmed once the caret's zero-based line index exceeds this.
#define LOG_TRIM_LINE_LIMIT 800
// Characters cut from the start of the log by one trim.
#define LOG_TRIM_CHARS 4000
// Between opening a port and asking the dongle for its configuration.
#define PORT_CONFIG_PAUSE_MS 150
#define PORT_TEXT_SIZE 64

// Text of the chosen PortList item; UI thread only.
static char portText[PORT_TEXT_SIZE];
// Set once the out-of-space box has been shown and the shutdown requested;
// UI thread only. A full log stays full, and the shutdown's own stop-frame
// echo would otherwise raise a second box that holds the exit up.
static int logOutOfSpace;

static void UpkeepTrafficLog(HWND mainWindow, WORD code)
{
    if ((code == EN_ERRSPACE || code == EN_MAXTEXT) && !logOutOfSpace) {
        logOutOfSpace = 1;
        MessageBoxA(mainWindow, "info. out of space.", "Skelder", MB_OK | MB_ICONERROR);
        PostMessageA(mainWindow, WM_DESTROY, 0, 0);
    }

    LRESULT line = SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_LINEFROMCHAR, (WPARAM)-1, 0);
    if (line <= LOG_TRIM_LINE_LIMIT)
        return;

    // The replacement below notifies again; that nested pass finds the caret
    // near the top and trims nothing.
    int32_t wasPaused = logPaused;
    logPaused = 1;
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_SETSEL, 0, LOG_TRIM_CHARS);
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM) "");
    // Select all, then drop the selection: the caret ends at the end, where
    // every writer appends.
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_SETSEL, 0, -1);
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_SETSEL, (WPARAM)-1, -1);
    logPaused = wasPaused;
}

static void ClearTrafficLog(HWND mainWindow)
{
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_SETSEL, 0, -1);
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM) "");
}

static void ToggleScanning(HWND mainWindow)
{
    scanToggleArmed = 0;
    // scanActive only changes when the dongle acknowledges.
    if (!scanActive) {
        BuildScanControlFrame(TxFrameBuffer, 1, &txFrameLength);
        HandOffFrame(TxFrameBuffer, txFrameLength);
        SetDlgItemTextA(mainWindow, IDC_START_BUTTON, "scanning");
    } else {
        // Unlike SendStopScan, its acknowledgement must reach the receiver's
        // scan toggle, so stopAckPending stays clear.
        BuildScanControlFrame(TxFrameBuffer, 0, &txFrameLength);
        HandOffFrame(TxFrameBuffer, txFrameLength);
        SetDlgItemTextA(mainWindow, IDC_START_BUTTON, "Start scan / Link");
    }
}

static void ToggleLogging(HWND mainWindow)
{
    // The caption names what the next click does.
    if (logPaused) {
        logPaused = 0;
        SetDlgItemTextA(mainWindow, IDC_LOG_TOGGLE, "Stop Log");
    } else {
        logPaused = 1;
        SetDlgItemTextA(mainWindow, IDC_LOG_TOGGLE, "Start Log");
    }
}

static void OnPortChosen(HWND mainWindow, HWND portList)
{
    LRESULT index = SendMessageA(portList, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR)
        return;
    LRESULT length = SendMessageA(portList, CB_GETLBTEXTLEN, (WPARAM)index, 0);
    if (length == CB_ERR || length >= (LRESULT)COUNTOF(portText))
        return;
    SendMessageA(portList, CB_GETLBTEXT, (WPARAM)index, (LPARAM)portText);

    OpenComPort(mainWindow, portText);
    // Runs whether or not the port opened.
    Sleep(PORT_CONFIG_PAUSE_MS);
    SendConfigRequest();
}

LRESULT OnMainWindowCommand(HWND mainWindow, WPARAM wParam, LPARAM lParam)
{
    WORD id = LOWORD(wParam);
    WORD code = HIWORD(wParam);

    switch (id) {
    case IDC_TRAFFIC_LOG:
        UpkeepTrafficLog(mainWindow, code);
        break;
    case IDC_CLEAR_LOG:
        ClearTrafficLog(mainWindow);
        break;
    case IDC_START_BUTTON:
        ToggleScanning(mainWindow);
        break;
    case IDC_LOG_TOGGLE:
        if (code == BN_CLICKED)
            ToggleLogging(mainWindow);
        break;
    case IDC_DONGLE_INFO:
        break;
    case IDC_CLEAR_USELESS:
        ClearUseless(mainWindow);
        break;
    case CMD_ABOUT:
        DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_ABOUT), mainWindow, AboutDialogProc, 0);
        break;
    case CMD_EXIT:
        DestroyWindow(mainWindow);
        break;
    case IDC_PORT_LIST:
        if (code == CBN_SELCHANGE)
            OnPortChosen(mainWindow, (HWND)lParam);
        break;
    default:
        // Tiles (400..419) and tooltip refreshes (1400..1419); each callee
        // ignores identifiers outside its own range.
        ToggleTileMark(mainWindow, id);
        RefreshTileTooltip(mainWindow, id);
        break;
    }
    return 0;
}

LRESULT OnMainWindowNotify(HWND mainWindow, LPARAM lParam)
{
    (void)mainWindow;
    // Marked tiles are drawn only while the dongle scans.
    if (!scanActive)
        return 0;
    return DrawTile((NMCUSTOMDRAW *)lParam);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
