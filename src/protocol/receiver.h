// The ReceiverThread: polls the port, frames the dongle's bytes and acts on
// acknowledgements, configuration data and register device data.
#ifndef TOLVANE_RECEIVER_H
#define TOLVANE_RECEIVER_H

#include <windows.h>

DWORD WINAPI ReceiverThread(LPVOID mainWindow);

#endif
