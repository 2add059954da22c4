// COM port discovery at start-up and opening of the chosen port.
#ifndef TOLVANE_PORTS_H
#define TOLVANE_PORTS_H

#include <windows.h>

int ProbeComPorts(HWND mainWindow);
int OpenComPort(HWND mainWindow, const char *devicePath);

#endif
