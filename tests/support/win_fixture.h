// Real Win32 scaffolding for tests under Wine: a top-level window holding
// the console's controls with their identifiers and styles, message pumping,
// and the dongle's end of a pty-backed COM port pair.
#ifndef TOLVANE_WIN_FIXTURE_H
#define TOLVANE_WIN_FIXTURE_H

#include <windows.h>

#include <functional>
#include <stdint.h>
#include <string>
#include <vector>

struct TestWindow {
    HWND main;
    HWND tiles[20];
    HWND tips[20];
};

// Optional routing of the test window's WM_COMMAND and WM_NOTIFY; when a
// hook is null the message goes to DefWindowProc (WM_COMMAND answers 0).
extern void (*testCommandHook)(HWND window, WPARAM wParam, LPARAM lParam);
extern LRESULT (*testNotifyHook)(HWND window, LPARAM lParam);

// Creates the window and every control (TrafficLog 5, buttons 7/17/28/44,
// label 8, PortList 150, DongleInfoBox 40, MarkedCountBox 390, tiles
// 400..419 with a balloon tooltip each). Not shown.
TestWindow CreateTestWindow(void);
void DestroyTestWindow(TestWindow &w);

void PumpFor(DWORD ms);
// Pumps messages until pred() holds or timeoutMs passes; returns pred().
bool PumpUntil(const std::function<bool()> &pred, DWORD timeoutMs);

std::string ControlText(HWND mainWindow, int id);
std::string WindowText(HWND window);
void SetControlText(HWND mainWindow, int id, const char *text);

// COM ports provided by tests/support/wine-run.sh: COM5<->COM6, COM7<->COM8.
#define TEST_CONSOLE_PORT "\\\\.\\COM7"
#define TEST_DONGLE_PORT "\\\\.\\COM8"
#define TEST_CONSOLE_PORT2 "\\\\.\\COM5"
#define TEST_DONGLE_PORT2 "\\\\.\\COM6"

// Opens a port at 115200 8N1 with reads that return at once.
HANDLE OpenTestPort(const char *path);
// Reads until want bytes arrived or timeoutMs passed, pumping messages.
std::vector<uint8_t> ReadPort(HANDLE port, size_t want, DWORD timeoutMs);
// Drops whatever is waiting on the port.
void DrainPort(HANDLE port);
bool WritePort(HANDLE port, const std::vector<uint8_t> &bytes);

std::string Hex(const std::vector<uint8_t> &bytes);

#endif
