#include "transmit.h"

#include "app_state.h"
#include "control_ids.h"
#include "qrn_frame.h"

#include <string.h>

static_assert(TX_FRAME_BUFFER_SIZE >= SCAN_CONTROL_FRAME_LEN, "frame buffer holds every frame sent");
static_assert(DESCRIBE_TEXT_SIZE(TX_FRAME_BUFFER_SIZE) <= 300, "echo text fits szData");

// UI thread builds frames here; the TransmitterThread copies the frame out
// when it wakes.
uint8_t TxFrameBuffer[TX_FRAME_BUFFER_SIZE];
uint8_t txFrameLength;

// The TxMailbox: written by HandOffFrame (UI thread), read by the
// TransmitterThread after it wakes.
static std::atomic<const uint8_t *> txMailboxFrame{nullptr};
static std::atomic<int32_t> txMailboxLength{0};
// Hand-offs made (UI thread) and the last hand-off whose frame has been
// written or dropped (TransmitterThread). TeardownLink waits for them to meet.
static std::atomic<uint32_t> txHandedOff{0};
static std::atomic<uint32_t> txCompleted{0};

// How long teardown lets the TransmitterThread finish the last frame (echo
// included) before it closes the port anyway.
#define TEARDOWN_WRITE_WAIT_MS 5000
#define TEARDOWN_EVENT_GRACE_MS 100
// A frame caught half-rebuilt by the UI thread fails its checksum; the copy
// is taken again a bounded number of times.
#define TX_COPY_ATTEMPTS 100

int CreateTxEvent(void)
{
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!h)
        return -1;
    txEvent = h;
    return 0;
}

int StartTransmitterThread(HWND mainWindow)
{
    HANDLE h = CreateThread(nullptr, 0, TransmitterThread, mainWindow, 0, nullptr);
    if (!h)
        return -1;
    CloseHandle(h);
    return 0;
}

void HandOffFrame(const uint8_t *frame, int32_t length)
{
    txMailboxFrame = frame;
    txMailboxLength = length;
    txHandedOff.fetch_add(1); // only the UI thread writes it
    SetEvent(txEvent);
}

void SendStopScan(void)
{
    BuildScanControlFrame(TxFrameBuffer, 0, &txFrameLength);
    HandOffFrame(TxFrameBuffer, txFrameLength);
    stopAckPending = 1;
}

void SendConfigRequest(void)
{
    BuildConfigRequestFrame(TxFrameBuffer, &txFrameLength);
    HandOffFrame(TxFrameBuffer, txFrameLength);
}

LRESULT PausableDlgItemMessage(HWND window, int controlId, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (logPaused)
        return 0;
    return SendDlgItemMessageA(window, controlId, message, wParam, lParam);
}

// Takes the handed-off frame into the thread's own buffer, so that a later
// hand-off (which rebuilds TxFrameBuffer while the echo waits for the UI
// thread) cannot change the frame between its echo and its write.
static int32_t TakeFrame(uint8_t *copy)
{
    int32_t length = 0;
    for (int attempt = 0; attempt < TX_COPY_ATTEMPTS; ++attempt) {
        const uint8_t *frame = txMailboxFrame;
        length = txMailboxLength;
        if (!frame || length <= 0)
            return 0;
        if (length > TX_FRAME_BUFFER_SIZE)
            length = TX_FRAME_BUFFER_SIZE;
        memcpy(copy, frame, (size_t)length);
        if (length <= 3 || FrameCheck(copy + 3, (uint32_t)(length - 3)) == 0)
            break;
        SwitchToThread();
    }
    return length;
}

DWORD WINAPI TransmitterThread(LPVOID param)
{
    HWND mainWindow = (HWND)param;
    uint8_t frame[TX_FRAME_BUFFER_SIZE];
    char szData[300];

    for (;;) {
        // Wait for the read in progress to end. The ReceiverThread starts
        // its next read a few instructions later, far too soon to be seen
        // reliably through the flag alone: the count of finished reads
        // shows the end as well.
        uint32_t readsEnded = rxReadsEnded;
        while (rxReading && rxReadsEnded == readsEnded) {
        }
        if (WaitForSingleObject(txEvent, INFINITE) != WAIT_OBJECT_0)
            return 0;
        ResetEvent(txEvent);
        if (!linkRunning)
            return 0;

        uint32_t handOff = txHandedOff;
        int32_t length = TakeFrame(frame);

        if (!logPaused) {
            DescribeSentFrame(frame, szData, length);
            SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM) "\r\n>");
            SendDlgItemMessageA(mainWindow, IDC_TRAFFIC_LOG, EM_REPLACESEL, 0, (LPARAM)szData);
        }

        txWriting = 1;
        DWORD written = 0;
        BOOL ok = WriteFile(portHandle, frame, (DWORD)length, &written, nullptr);
        txWriting = 0;
        if (!ok) {
            DWORD errors = 0;
            COMSTAT stat;
            ClearCommError(portHandle, &errors, &stat);
        }
        txCompleted = handOff;
    }
}

// Waits until the frame handed off last has been written (or dropped),
// answering messages that other threads send to this thread's windows
// meanwhile: the frame's echo may be waiting for exactly that.
static void AwaitLastFrame(DWORD limitMs)
{
    DWORD start = GetTickCount();
    while (txCompleted != txHandedOff && GetTickCount() - start < limitMs) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_SENDMESSAGE);
    }
}

void TeardownLink(void)
{
    HANDLE port = portHandle;
    if (txEvent != INVALID_HANDLE_VALUE)
        AwaitLastFrame(TEARDOWN_WRITE_WAIT_MS);
    linkRunning = 0;
    if (receiverThread && receiverThread != INVALID_HANDLE_VALUE) {
        TerminateThread(receiverThread, 0);
        CloseHandle(receiverThread);
        // A thread ended inside its read leaves the flag up; the
        // TransmitterThread must not spin on it.
        rxReading = 0;
    }
    portHandle = INVALID_HANDLE_VALUE;
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
    HANDLE event = txEvent;
    if (event != INVALID_HANDLE_VALUE) {
        // Set rather than pulsed: a TransmitterThread that is not waiting at
        // this instant still wakes, finds linkRunning clear and ends.
        SetEvent(event);
        Sleep(TEARDOWN_EVENT_GRACE_MS);
        CloseHandle(event);
    }
}
