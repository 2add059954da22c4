#include "receiver.h"

#include "app_state.h"
#include "control_ids.h"
#include "roster.h"
#include "rx_core.h"
#include "transmit.h"

static_assert(RX_ROSTER_SLOTS == ROSTER_SLOTS, "register reports land in roster slots");

// The sink's context is the main window: every effect goes through it.
static HWND Window(void *context) { return (HWND)context; }

static void WriteLog(void *context, const char *text)
{
    SendDlgItemMessageA(Window(context), IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM)text);
}

static void WritePausableLog(void *context, const char *text)
{
    PausableDlgItemMessage(Window(context), IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM)text);
}

static void SetDongleInfo(void *context, const char *text)
{
    SendDlgItemMessageA(Window(context), IDC_DONGLE_INFO, EM_SETSEL, 0, -1);
    SendDlgItemMessageA(Window(context), IDC_DONGLE_INFO, EM_REPLACESEL, 0, (LPARAM)text);
}

static void SetStartCaption(void *context, const char *text)
{
    SendDlgItemMessageA(Window(context), IDC_START_BUTTON, WM_SETTEXT, 0, (LPARAM)text);
}

static void ClearRoster(void *context) { ClearRosterOnScanStop(Window(context)); }

static int Register(void *context, const char *name, const char *address)
{
    (void)context;
    return RegisterDevice(name, address);
}

static void PostTipRefresh(void *context, int slot)
{
    PostMessageA(Window(context), WM_COMMAND, MAKEWPARAM(TIP_REFRESH_BASE + slot, 0), 0);
}

static void SetCaption(void *context, int slot, int32_t heartRate, int32_t rrInterval, int32_t battery)
{
    SetTileCaption(Window(context), slot, heartRate, rrInterval, battery);
}

// Polls until a read returns bytes. No read starts while the transmitter
// writes, and rxReading covers the whole read.
static DWORD ReadPort(uint8_t *szText)
{
    for (;;) {
        if (txWriting.load())
            continue;
        HANDLE port = portHandle.load();
        if (port == INVALID_HANDLE_VALUE) {
            // No port yet (or the last choice failed to open). A thread that
            // spins on ReadFile with an invalid handle keeps the process from
            // ending after TerminateThread under Wine, so no read is made.
            // A bare spin without any system call can stall the process's
            // end under Wine as well: the yield gives up the rest of the
            // time slice and keeps the poll otherwise unchanged.
            SwitchToThread();
            continue;
        }
        DWORD cBytes = 0;
        rxReading.store(1);
        BOOL ok = ReadFile(port, szText, RX_READ_MAX, &cBytes, nullptr);
        rxReading.store(0);
        rxReadsEnded.store(rxReadsEnded.load() + 1);
        if (ok && cBytes > 0)
            return cBytes;
    }
}

DWORD WINAPI ReceiverThread(LPVOID mainWindow)
{
    uint8_t szText[RX_READ_BUFFER];
    RxState st;
    RxInit(&st);
    RxSink sink = {mainWindow, WriteLog, WritePausableLog, SetDongleInfo, SetStartCaption, ClearRoster, Register,
                   PostTipRefresh, SetCaption};
    RxFlags flags = {&scanToggleArmed, &scanActive, &stopAckPending};
    while (linkRunning.load()) {
        DWORD cBytes = ReadPort(szText);
        RxHandleRead(&st, szText, cBytes, &flags, &sink);
    }
    return 0;
}
