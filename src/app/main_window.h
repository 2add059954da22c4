// The main window: its procedure, controls, layout, commands and the About
// dialog. All of it runs on the user-interface thread.
#ifndef TOLVANE_MAIN_WINDOW_H
#define TOLVANE_MAIN_WINDOW_H

#include <windows.h>

#define APP_TEXT_SIZE 256

// Loaded from the string table by WinMain before anything else; read-only after.
extern char appTitle[APP_TEXT_SIZE];
extern char appClassName[APP_TEXT_SIZE];

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnMainWindowCreate(HWND mainWindow);
LRESULT LayoutMainWindow(HWND mainWindow);
LRESULT OnMainWindowDestroy(HWND mainWindow);
LRESULT OnMainWindowCommand(HWND mainWindow, WPARAM wParam, LPARAM lParam);
LRESULT OnMainWindowNotify(HWND mainWindow, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

ATOM RegisterMainWindowClass(HINSTANCE instance);
BOOL InitApplication(HINSTANCE instance, int showCommand);

#endif
