// COM port discovery at start-up and opening of the chosen port.
#include "ports.h"

#include "app_state.h"
#include "control_ids.h"
#include "receiver.h"
#include "transmit.h"

#define COUNTOF(a) (sizeof(a) / sizeof((a)[0]))
#define PORT_PROBE_FIRST 1
#define PORT_PROBE_LAST 64

static HANDLE OpenPortDevice(const char *devicePath)
{
    // No sharing, so a port that another program holds fails here; not
    // overlapped, because both link threads use plain ReadFile/WriteFile.
    return CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

int ProbeComPorts(HWND mainWindow)
{
    char pszDevName[20];
    for (int n = PORT_PROBE_FIRST; n <= PORT_PROBE_LAST; n++) {
        // The device-namespace form also reaches ports 10 and above.
        wsprintfA(pszDevName, "\\\\.\\COM%d", n);
        HANDLE h = OpenPortDevice(pszDevName);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        LRESULT r = SendDlgItemMessageA(mainWindow, IDC_PORT_LIST, CB_INSERTSTRING, (WPARAM)-1,
                                        (LPARAM)pszDevName);
        CloseHandle(h);
        if (r == CB_ERR || r == CB_ERRSPACE)
            break;
    }
    return 0;
}

int OpenComPort(HWND mainWindow, const char *devicePath)
{
    char szDbg[128];

    HANDLE previous = portHandle.exchange(INVALID_HANDLE_VALUE);
    if (previous != INVALID_HANDLE_VALUE)
        CloseHandle(previous);

    HANDLE h = OpenPortDevice(devicePath);
    if (h == INVALID_HANDLE_VALUE) {
        // The path is at most a combo item; keep the line within szDbg.
        wsprintfA(szDbg, "Couldn't open port %.80s. rc=%d\r\n", devicePath, (int)GetLastError());
        SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM)szDbg);
        return -1;
    }

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = (DWORD)baudRate.load();
    dcb.fParity = 0;
    dcb.fNull = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(h, &dcb);

    // Reads return at once with what has arrived (the ReceiverThread polls);
    // a write gets at most 10 ms.
    COMMTIMEOUTS cto;
    cto.ReadIntervalTimeout = MAXDWORD;
    cto.ReadTotalTimeoutMultiplier = 0;
    cto.ReadTotalTimeoutConstant = 0;
    cto.WriteTotalTimeoutMultiplier = 0;
    cto.WriteTotalTimeoutConstant = 10;
    SetCommTimeouts(h, &cto);

    wsprintfA(szDbg, "Port %.80s opened\r\n", devicePath);
    SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM)szDbg);

    portHandle = h;

    DWORD exitCode = 0;
    // -1 (the start value) would name this process to GetExitCodeThread.
    bool running = receiverThread != NULL && receiverThread != INVALID_HANDLE_VALUE &&
                   GetExitCodeThread(receiverThread, &exitCode) && exitCode == STILL_ACTIVE;
    if (!running) {
        HANDLE t = CreateThread(NULL, 0, ReceiverThread, (LPVOID)mainWindow, 0, NULL);
        if (t != NULL)
            receiverThread = t;
        else
            receiverThread = INVALID_HANDLE_VALUE;
    }

    SendStopScan();
    return 0;
}
