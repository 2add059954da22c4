// Time of one "trust" line added to an edit control made like the console's
// TrafficLog (10 x 10 pixels, the log's styles), and to variants of it, all in
// this process's own window: which part of the log's cost is the scroll bar.
// Prints "edit VARIANT us" per variant, the mean over the lines added.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

const DWORD kLogStyle = 0x50201804;  // WS_CHILD|WS_VISIBLE|WS_VSCROLL|ES_MULTILINE|ES_READONLY|ES_WANTRETURN
const DWORD kLogExStyle = 0x201;     // WS_EX_CLIENTEDGE|WS_EX_DLGMODALFRAME

long long NowMicros()
{
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return count.QuadPart * 1000000 / frequency.QuadPart;
}

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void AddLine(HWND edit, int i)
{
    char line[64];
    wsprintfA(line, "\r\ntrust, %d, %d\r\n", i & 255, (i >> 8) & 255);
    SendMessageA(edit, EM_REPLACESEL, 0, (LPARAM)line);
}

} // namespace

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 300;
    if (count < 1)
        count = 1;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "EditCost";
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    RegisterClassA(&wc);
    HWND parent = CreateWindowExA(0, "EditCost", "edit cost", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 800, 600,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    struct Variant {
        const char *name;
        DWORD style;
        int size;
    } variants[] = {
        {"log", kLogStyle, 10},
        {"log-without-scrollbar", kLogStyle & ~WS_VSCROLL, 10},
        {"log-hidden", kLogStyle & ~WS_VISIBLE, 10},
        {"log-200x200", kLogStyle, 200},
    };
    for (const Variant &v : variants) {
        HWND edit = CreateWindowExA(kLogExStyle, "edit", "", v.style, 0, 0, v.size, v.size, parent, (HMENU)5,
                                    wc.hInstance, nullptr);
        SendMessageA(edit, EM_LIMITTEXT, 0x200000, 0);
        // Some text first, as a log in use has.
        for (int i = 0; i < 400; i++)
            AddLine(edit, i);
        Pump();
        long long start = NowMicros();
        for (int i = 0; i < count; i++) {
            AddLine(edit, i);
            Pump();
        }
        printf("edit %s %lld\n", v.name, (NowMicros() - start) / count);
        DestroyWindow(edit);
    }
    DestroyWindow(parent);
    return 0;
}
