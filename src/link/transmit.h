// The transmit path: one frame buffer, a one-frame mailbox and the
// TransmitterThread that echoes each frame into the TrafficLog and writes it.
#ifndef TOLVANE_TRANSMIT_H
#define TOLVANE_TRANSMIT_H

#include <windows.h>
#include <stdint.h>

#define TX_FRAME_BUFFER_SIZE 100

// Written only by the UI thread (the builders).
extern uint8_t TxFrameBuffer[TX_FRAME_BUFFER_SIZE];
extern uint8_t txFrameLength;

int CreateTxEvent(void);                      // 0, or -1 when no event
int StartTransmitterThread(HWND mainWindow);  // 0, or -1 when no thread
DWORD WINAPI TransmitterThread(LPVOID mainWindow);
void HandOffFrame(const uint8_t *frame, int32_t length);
void SendStopScan(void);
void SendConfigRequest(void);
void TeardownLink(void);
LRESULT PausableDlgItemMessage(HWND window, int controlId, UINT message, WPARAM wParam, LPARAM lParam);

#endif
