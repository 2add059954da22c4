// The receiver's byte handling: the framer that finds QRN frames in the
// dongle's byte stream, the dispatch by frame kind and the three handlers.
// No Windows headers: every effect on the window, the roster or the log goes
// through an RxSink, so the same code runs in the ReceiverThread, in native
// tests and under the fuzzer.
#ifndef TOLVANE_RX_CORE_H
#define TOLVANE_RX_CORE_H

#include <atomic>
#include <stdint.h>

#define RX_READ_MAX 298     /* bytes asked of one port read */
#define RX_READ_BUFFER 300  /* szText */
#define RX_FRAME_BUFFER 300 /* qrncmd_array */
#define RX_DEBUG_STR 100    /* debugStr */
#define RX_HUNTING 255      /* qrnHeader while looking for 'Q' */
#define RX_ROSTER_SLOTS 20  /* slots a register report can land in */

static_assert(RX_READ_MAX <= RX_READ_BUFFER, "a read must fit its buffer");

// Effects of handled frames. Every text is zero-terminated and lives only
// for the call.
struct RxSink {
    void *context;
    // A TrafficLog insertion that is written whatever the log toggle says.
    void (*writeLog)(void *context, const char *text);
    // The one TrafficLog insertion that is dropped while logging is paused.
    void (*writePausableLog)(void *context, const char *text);
    // Replaces the whole DongleInfoBox text.
    void (*setDongleInfo)(void *context, const char *text);
    // Sets the StartButton caption.
    void (*setStartCaption)(void *context, const char *text);
    // Scanning stopped: empty the tiles, the marked count and the roster.
    void (*clearRoster)(void *context);
    // Slot 0..19 for the monitor, or -1.
    int (*registerDevice)(void *context, const char *name, const char *address);
    // Asks the UI thread to refresh the slot's tooltip (does not wait).
    void (*postTipRefresh)(void *context, int slot);
    void (*setTileCaption)(void *context, int slot, int32_t heartRate, int32_t rrInterval, int32_t battery);
};

// Flags shared with the UI thread; the receiver reads and writes them here.
struct RxFlags {
    std::atomic<uint8_t> *scanToggleArmed;
    std::atomic<int32_t> *scanActive;
    std::atomic<int32_t> *stopAckPending;
};

// The thread's private framing state and text buffers.
struct RxState {
    uint8_t qrncmd_array[RX_FRAME_BUFFER];
    int32_t qrncmdIdx;
    int32_t qrnHeader;
    char debugStr[RX_DEBUG_STR];
    char dev_name[26];
    char dev_addr[13];
    uint8_t dev_ver[2];
    char dev_addr_reverse_display[20];
};

// Magic in bytes 0-2, zeros behind it, nothing held, hunting.
void RxInit(RxState *st);

// Passes one read's bytes through the framer and runs the dispatch until it
// waits. When the frame buffer is full and bytes of the read are still to be
// stored, the frames already held are handled first; only a frame the
// dispatch cannot consume costs the rest of the read.
void RxHandleRead(RxState *st, const uint8_t *bytes, uint32_t count, const RxFlags *flags, const RxSink *sink);

// After a frame of n bytes: keeps what follows when it starts with the magic
// or a part of it at the buffer's end, else drops it.
void ResyncAfterFrame(RxState *st, int32_t n);

// Copies exactly width bytes and a terminating zero; 1 when the source byte
// after the field is FIELD_END, else 0.
int CopyTextField(char *destination, const uint8_t *source, int32_t width);

#endif
