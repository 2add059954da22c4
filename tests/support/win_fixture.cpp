#include "win_fixture.h"

#include <commctrl.h>
#include <stdio.h>

void (*testCommandHook)(HWND, WPARAM, LPARAM) = nullptr;
LRESULT (*testNotifyHook)(HWND, LPARAM) = nullptr;

static LRESULT CALLBACK TestWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_COMMAND:
        if (testCommandHook)
            testCommandHook(hwnd, wParam, lParam);
        return 0;
    case WM_NOTIFY:
        return testNotifyHook ? testNotifyHook(hwnd, lParam) : 0;
    default:
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

static HWND Child(HWND parent, const char *cls, const char *text, int id, DWORD style, DWORD exStyle,
                  int x, int y, int w, int h)
{
    return CreateWindowExA(exStyle, cls, text, style, x, y, w, h, parent, (HMENU)(INT_PTR)id,
                           GetModuleHandleA(nullptr), nullptr);
}

TestWindow CreateTestWindow(void)
{
    static bool registered = false;
    if (!registered) {
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSEXA wc = {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
        wc.hbrBackground = (HBRUSH)(COLOR_MENUBAR + 1);
        wc.lpszClassName = "TolvaneTestMain";
        RegisterClassExA(&wc);
        registered = true;
    }
    TestWindow w = {};
    w.main = CreateWindowExA(0, "TolvaneTestMain", "test", WS_SYSMENU | WS_MINIMIZEBOX, 50, 50, 1024,
                             768, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    Child(w.main, "STATIC", "Step 1 : COM Port", 8, 0x50000000, 0, 30, 10, 150, 30);
    Child(w.main, "COMBOBOX", "", 150, 0x50000003, 0, 30, 40, 150, 100);
    Child(w.main, "BUTTON", "Start ...", 17, 0x50000001, 0x100, 210, 40, 150, 35);
    Child(w.main, "BUTTON", "Clear Useless", 44, 0x50000001, 0x100, 390, 40, 150, 35);
    Child(w.main, "BUTTON", "Clear Log", 7, 0x50000001, 0x100, 0, 0, 10, 10);
    Child(w.main, "BUTTON", "Stop Log", 28, 0x50000001, 0x100, 0, 0, 10, 10);
    Child(w.main, "edit", "", 40, 0x50001804, 0x200, 594, 5, 350, 30);
    Child(w.main, "edit", "", 390, 0x50000800, 0x200, 250, 5, 60, 30);
    for (int s = 0; s < 20; ++s) {
        w.tiles[s] = Child(w.main, "BUTTON", "empty", 400 + s, 0x50003000, 0x200, 10 + 246 * (s / 5),
                           88 + 123 * (s % 5), 246, 118);
        w.tips[s] = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_BALLOON | TTS_ALWAYSTIP,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, w.main,
                                    nullptr, GetModuleHandleA(nullptr), nullptr);
    }
    HWND log = Child(w.main, "edit", "", 5, 0x50201804, 0x201, 0, 0, 10, 10);
    SendMessageA(log, EM_LIMITTEXT, 0x200000, 0);
    return w;
}

void DestroyTestWindow(TestWindow &w)
{
    if (w.main)
        DestroyWindow(w.main);
    w.main = nullptr;
    PumpFor(0);
}

void PumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (ms)
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount() - start < ms);
}

bool PumpUntil(const std::function<bool()> &pred, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        PumpFor(0);
        if (pred())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

std::string WindowText(HWND window)
{
    int n = GetWindowTextLengthA(window);
    std::string s(n + 1, '\0');
    int got = GetWindowTextA(window, &s[0], n + 1);
    s.resize(got > 0 ? got : 0);
    return s;
}

std::string ControlText(HWND mainWindow, int id) { return WindowText(GetDlgItem(mainWindow, id)); }

void SetControlText(HWND mainWindow, int id, const char *text) { SetDlgItemTextA(mainWindow, id, text); }

HANDLE OpenTestPort(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fParity = 0;
    dcb.fNull = 0;
    SetCommState(h, &dcb);
    COMMTIMEOUTS cto = {MAXDWORD, 0, 0, 0, 100};
    SetCommTimeouts(h, &cto);
    return h;
}

std::vector<uint8_t> ReadPort(HANDLE port, size_t want, DWORD timeoutMs)
{
    std::vector<uint8_t> got;
    DWORD start = GetTickCount();
    while (got.size() < want) {
        uint8_t buf[512];
        DWORD n = 0;
        DWORD ask = (DWORD)(want - got.size() < sizeof buf ? want - got.size() : sizeof buf);
        if (ReadFile(port, buf, ask, &n, nullptr) && n > 0) {
            got.insert(got.end(), buf, buf + n);
            continue;
        }
        if (GetTickCount() - start >= timeoutMs)
            break;
        PumpFor(0);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
    }
    return got;
}

void DrainPort(HANDLE port)
{
    for (;;) {
        uint8_t buf[512];
        DWORD n = 0;
        if (!ReadFile(port, buf, sizeof buf, &n, nullptr) || n == 0)
            return;
    }
}

bool WritePort(HANDLE port, const std::vector<uint8_t> &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        DWORD n = 0;
        if (!WriteFile(port, bytes.data() + off, (DWORD)(bytes.size() - off), &n, nullptr))
            return false;
        off += n;
    }
    return true;
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}
