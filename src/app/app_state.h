// Process-wide flags and handles shared by the threads. Each flag is an
// atomic word so that every poll reads memory; none is ever updated with a
// read-modify-write across threads, each has a single writer as noted.
#ifndef TOLVANE_APP_STATE_H
#define TOLVANE_APP_STATE_H

#include <windows.h>

#include <atomic>
#include <stdint.h>

// Start-up (UI thread) writes it once; the tooltips and About use it.
extern HINSTANCE appInstance;
// UI thread (OpenComPort, TeardownLink) writes; both link threads read it
// afresh for every port call.
extern std::atomic<HANDLE> portHandle;
// UI thread (OpenComPort, TeardownLink) only.
extern HANDLE receiverThread;
// Created by CreateTxEvent before the window; closed by TeardownLink.
extern std::atomic<HANDLE> txEvent;
// 1 from process start; TeardownLink clears it.
extern std::atomic<int32_t> linkRunning;
// 115200; nothing changes it.
extern std::atomic<int32_t> baudRate;
// TransmitterThread writes (1 during a port write); ReceiverThread polls.
extern std::atomic<int32_t> txWriting;
// ReceiverThread writes (1 during a port read); TransmitterThread polls.
extern std::atomic<int32_t> rxReading;
// ReceiverThread counts the reads it has finished; TransmitterThread polls it
// to see a read end even when the next one has already begun.
extern std::atomic<uint32_t> rxReadsEnded;
// UI thread writes (log toggle, trim); TransmitterThread and
// PausableDlgItemMessage read.
extern std::atomic<int32_t> logPaused;
// ReceiverThread writes (acknowledgements); UI thread reads.
extern std::atomic<int32_t> scanActive;
// UI thread clears it (Start); ReceiverThread sets it to 1.
extern std::atomic<uint8_t> scanToggleArmed;
// SendStopScan (UI thread) sets it; ReceiverThread clears it.
extern std::atomic<int32_t> stopAckPending;

#endif
