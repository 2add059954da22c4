// Start-up, the message loop and the end of the process.
#include "main_window.h"

#include <commctrl.h>

#include "app_state.h"
#include "control_ids.h"
#include "roster.h"
#include "transmit.h"

#define MAIN_WINDOW_X 50
#define MAIN_WINDOW_Y 50
#define MAIN_WINDOW_WIDTH 1024
#define MAIN_WINDOW_HEIGHT 768
#define MAIN_WINDOW_STYLE (WS_SYSMENU | WS_MINIMIZEBOX)

static_assert(MAIN_WINDOW_STYLE == 0x000A0000, "fixed-size window: no sizing border, no maximise box");
static_assert(COLOR_MENUBAR + 1 == 31, "class background");

char appTitle[APP_TEXT_SIZE];
char appClassName[APP_TEXT_SIZE];

ATOM RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_VREDRAW | CS_HREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP_LARGE));
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(INT_PTR)(COLOR_MENUBAR + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAIN_MENU);
    wc.lpszClassName = appClassName;
    wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP_SMALL));
    return RegisterClassExA(&wc);
}

BOOL InitApplication(HINSTANCE instance, int showCommand)
{
    appInstance = instance;
    InitCommonControls();

    if (CreateTxEvent() < 0)
        return FALSE;

    // WM_CREATE makes every control and fills the PortList before this returns.
    HWND mainWindow = CreateWindowExA(0, appClassName, appTitle, MAIN_WINDOW_STYLE, MAIN_WINDOW_X, MAIN_WINDOW_Y,
                                      MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, NULL, NULL, instance, NULL);
    if (mainWindow == NULL)
        return FALSE;

    ResetRoster();

    if (StartTransmitterThread(mainWindow) < 0) {
        DestroyWindow(mainWindow);
        return FALSE;
    }

    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);
    return TRUE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    (void)previous;
    (void)commandLine;

    LoadStringA(instance, IDS_APP_TITLE, appTitle, APP_TEXT_SIZE);
    LoadStringA(instance, IDS_APP_CLASS, appClassName, APP_TEXT_SIZE);

    RegisterMainWindowClass(instance);

    if (!InitApplication(instance, showCommand))
        return 0;

    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCELERATORS));

    MSG msg;
    // -1 (an error) does not end the loop; only WM_QUIT does.
    while (GetMessageA(&msg, NULL, 0, 0)) {
        // The message's own window: with the focus on a control the
        // accelerator's command goes to that control, which ignores it.
        if (!TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }

    TeardownLink();
    return (int)msg.wParam;
}
