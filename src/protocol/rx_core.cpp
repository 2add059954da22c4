#include "rx_core.h"

#include "qrn_frame.h"

#include <stdio.h>
#include <string.h>

// Bytes of the current read that logically follow the frame buffer's
// contents. Non-empty only while the frame buffer is full: then the handlers
// run before these bytes are stored, and ResyncAfterFrame sees them as if
// they had already been stored behind the handled frame.
struct RxTail {
    const uint8_t *bytes;
    uint32_t count;
};

static const RxTail noTail = {nullptr, 0};

void RxInit(RxState *st)
{
    memset(st, 0, sizeof *st);
    st->qrncmd_array[0] = QRN_MAGIC_0;
    st->qrncmd_array[1] = QRN_MAGIC_1;
    st->qrncmd_array[2] = QRN_MAGIC_2;
    st->qrncmdIdx = QRN_MAGIC_LEN;
    st->qrnHeader = RX_HUNTING;
}

int CopyTextField(char *destination, const uint8_t *source, int32_t width)
{
    memcpy(destination, source, (size_t)width);
    destination[width] = '\0';
    return source[width] == FIELD_END ? 1 : 0;
}

static void DropFrame(RxState *st, RxTail *tail)
{
    st->qrnHeader = RX_HUNTING;
    st->qrncmdIdx = QRN_MAGIC_LEN;
    tail->bytes = nullptr;
    tail->count = 0;
}

// Stores tail bytes behind the frame as the framer would with the magic
// complete, until the buffer is full or the tail is used up.
static void TopUpFromTail(RxState *st, RxTail *tail)
{
    while (tail->count > 0 && st->qrncmdIdx < RX_FRAME_BUFFER) {
        st->qrncmd_array[st->qrncmdIdx++] = *tail->bytes++;
        tail->count--;
    }
}

static void ResyncWithTail(RxState *st, int32_t n, RxTail *tail)
{
    uint8_t *a = st->qrncmd_array;
    uint32_t held = (uint32_t)(st->qrncmdIdx - n);
    uint32_t total = held + tail->count;
    uint8_t first[3] = {0, 0, 0};
    for (uint32_t k = 0; k < 3 && k < total; ++k)
        first[k] = k < held ? a[n + k] : tail->bytes[k - held];

    int header;
    if (total >= 3 && first[0] == QRN_MAGIC_0 && first[1] == QRN_MAGIC_1 && first[2] == QRN_MAGIC_2)
        header = 2;
    else if (total >= 2 && first[0] == QRN_MAGIC_0 && first[1] == QRN_MAGIC_1)
        header = 1;
    else if (total >= 1 && first[0] == QRN_MAGIC_0)
        header = 0;
    else {
        DropFrame(st, tail);
        return;
    }

    if (header == 2) {
        memmove(a, a + n, held);
        st->qrncmdIdx = (int32_t)held;
        st->qrnHeader = 2;
        if (held < QRN_MAGIC_LEN) {
            // Part of the magic is still in the read: it is the frame's start.
            uint32_t missing = QRN_MAGIC_LEN - held;
            a[0] = QRN_MAGIC_0;
            a[1] = QRN_MAGIC_1;
            a[2] = QRN_MAGIC_2;
            tail->bytes += missing;
            tail->count -= missing;
            st->qrncmdIdx = QRN_MAGIC_LEN;
        }
        TopUpFromTail(st, tail);
        return;
    }

    // A part of the magic is kept only when nothing follows it; with more
    // bytes behind it the dispatch drops the lot at once.
    if (total > QRN_MAGIC_LEN) {
        if (tail->count == 0) {
            memmove(a, a + n, held);
            st->qrncmdIdx = (int32_t)held;
            st->qrnHeader = header;
        } else {
            DropFrame(st, tail);
        }
        return;
    }
    for (uint32_t k = 0; k < total; ++k)
        a[k] = k < held ? a[n + k] : tail->bytes[k - held];
    st->qrncmdIdx = (int32_t)total;
    st->qrnHeader = header;
    tail->bytes = nullptr;
    tail->count = 0;
}

void ResyncAfterFrame(RxState *st, int32_t n)
{
    RxTail tail = noTail;
    ResyncWithTail(st, n, &tail);
}

static void Log(RxState *st, const RxSink *sink) { sink->writeLog(sink->context, st->debugStr); }

// Returns 1 when the frame's successors were dropped because a stop of the
// system's own was acknowledged (no resync then).
static int HandleAck(RxState *st, RxTail *tail, const RxFlags *flags, const RxSink *sink)
{
    const uint8_t *a = st->qrncmd_array;
    uint8_t r = FrameCheck(a + 3, 5);
    if (r != 0) {
        snprintf(st->debugStr, sizeof st->debugStr, "\r\n>> QRN ack cmd bad chksum %x !!\r\n", r);
        Log(st, sink);
    } else if (a[5] == 0 && a[6] == 0) {
        snprintf(st->debugStr, sizeof st->debugStr, "\r\n>> got dongle ack\r\n");
        Log(st, sink);
        if (flags->scanToggleArmed->load() == 0) {
            flags->scanToggleArmed->store(1);
            int32_t active = flags->scanActive->load() == 0 ? 1 : 0;
            flags->scanActive->store(active);
            if (active) {
                snprintf(st->debugStr, sizeof st->debugStr, "Stop !!!");
            } else {
                sink->clearRoster(sink->context);
                snprintf(st->debugStr, sizeof st->debugStr, "Start ...");
            }
            sink->setStartCaption(sink->context, st->debugStr);
        }
        if (flags->stopAckPending->load() == 1) {
            flags->stopAckPending->store(0);
            DropFrame(st, tail);
            return 1;
        }
    }
    ResyncWithTail(st, ACK_FRAME_LEN, tail);
    return 0;
}

static void HandleConfig(RxState *st, RxTail *tail, const RxSink *sink)
{
    const uint8_t *a = st->qrncmd_array;
    uint8_t r = FrameCheck(a + 3, 35);
    if (r != 0) {
        snprintf(st->debugStr, sizeof st->debugStr, "\r\n>> QRN config cmd bad chksum %x !!\r\n", r);
        Log(st, sink);
    } else if (CopyTextField(st->dev_name, a + CFG_NAME_OFS, CFG_NAME_LEN) &&
               CopyTextField(st->dev_addr, a + CFG_ADDR_OFS, CFG_ADDR_LEN)) {
        snprintf(st->debugStr, sizeof st->debugStr, "\r\n>> got dongle config data\r\n");
        Log(st, sink);
        char *d = st->dev_addr_reverse_display;
        for (int pair = 0; pair < CFG_ADDR_LEN / 2; ++pair) {
            *d++ = st->dev_addr[2 * pair];
            *d++ = st->dev_addr[2 * pair + 1];
            if (pair < CFG_ADDR_LEN / 2 - 1)
                *d++ = ':';
        }
        *d = '\0';
        st->dev_ver[0] = a[CFG_VER_MAJOR_OFS];
        st->dev_ver[1] = a[CFG_VER_MINOR_OFS];
        snprintf(st->debugStr, sizeof st->debugStr, "%s @%s  Ver. %x.%02x", st->dev_name,
                 st->dev_addr_reverse_display, st->dev_ver[0], st->dev_ver[1]);
        sink->setDongleInfo(sink->context, st->debugStr);
    }
    ResyncWithTail(st, CONFIG_DATA_FRAME_LEN, tail);
}

static void HandleRegister(RxState *st, RxTail *tail, const RxSink *sink)
{
    const uint8_t *a = st->qrncmd_array;
    uint8_t r = FrameCheck(a + 3, 52);
    if (r != 0) {
        for (int k = 0; k < REGISTER_DATA_FRAME_LEN; ++k) {
            snprintf(st->debugStr, sizeof st->debugStr, "%02x", a[k]);
            Log(st, sink);
        }
        snprintf(st->debugStr, sizeof st->debugStr, "\r\n>> QRN reg cmd bad chksum %x !!\r\n", r);
        Log(st, sink);
    } else if (CopyTextField(st->dev_name, a + REG_NAME_OFS, REG_NAME_LEN) &&
               CopyTextField(st->dev_addr, a + REG_ADDR_OFS, REG_ADDR_LEN)) {
        int slot = sink->registerDevice(sink->context, st->dev_name, st->dev_addr);
        if (slot >= 0 && slot < RX_ROSTER_SLOTS && a[REG_CHECK_OFS] == REG_CHECK_HAS_DATA) {
            int32_t heartRate = a[REG_HR_OFS];
            int32_t rrInterval = a[REG_RR_OFS] * 256 + a[REG_RR_OFS + 1];
            int32_t battery = a[REG_BAT_OFS];
            sink->postTipRefresh(sink->context, slot);
            sink->setTileCaption(sink->context, slot, heartRate, rrInterval, battery);
            snprintf(st->debugStr, sizeof st->debugStr, "\r\ntrust, %d, %d\r\n", (int)heartRate, (int)battery);
            sink->writePausableLog(sink->context, st->debugStr);
        }
    }
    ResyncWithTail(st, REGISTER_DATA_FRAME_LEN, tail);
}

// Handles the frames held until the dispatch waits. With a tail (the buffer
// is full and the read has more bytes), a frame that cannot be handled costs
// the tail; every path leaves the tail empty.
static void Dispatch(RxState *st, RxTail *tail, const RxFlags *flags, const RxSink *sink)
{
    for (;;) {
        const uint8_t *a = st->qrncmd_array;
        int32_t i = st->qrncmdIdx;
        if (i <= QRN_MAGIC_LEN)
            return;
        if (st->qrnHeader != 2) {
            DropFrame(st, tail);
            return;
        }
        if (a[3] == 1 && a[4] == 2) {
            if (i >= CONFIG_DATA_FRAME_LEN && a[5] == 0 && a[6] == 0) {
                HandleConfig(st, tail, sink);
                continue;
            }
        } else if (a[3] != 1 && a[4] == 0) {
            if (i >= ACK_FRAME_LEN) {
                HandleAck(st, tail, flags, sink);
                continue;
            }
        } else if (a[3] != 1 && a[4] == 4) {
            if (i >= REGISTER_DATA_FRAME_LEN && a[5] == 0 && a[6] >= 1 && a[6] <= 3) {
                HandleRegister(st, tail, sink);
                continue;
            }
        }
        // Waiting. A full buffer that waits can never be consumed: drop it
        // and the rest of the read.
        if (tail->count > 0)
            DropFrame(st, tail);
        return;
    }
}

void RxHandleRead(RxState *st, const uint8_t *bytes, uint32_t count, const RxFlags *flags, const RxSink *sink)
{
    RxTail tail = {bytes, count};
    while (tail.count > 0) {
        uint8_t b = *tail.bytes;
        int32_t i = st->qrncmdIdx;
        int32_t h = st->qrnHeader;
        if (i <= QRN_MAGIC_LEN && (b == QRN_MAGIC_0 || b == QRN_MAGIC_1 || b == QRN_MAGIC_2)) {
            if (b == QRN_MAGIC_0 && h == RX_HUNTING) {
                st->qrnHeader = 0;
            } else if (b == QRN_MAGIC_1 && h == 0) {
                st->qrnHeader = 1;
            } else if (b == QRN_MAGIC_2 && h == 1) {
                st->qrnHeader = 2;
                st->qrncmdIdx = QRN_MAGIC_LEN;
                st->qrncmd_array[0] = QRN_MAGIC_0;
                st->qrncmd_array[1] = QRN_MAGIC_1;
                st->qrncmd_array[2] = QRN_MAGIC_2;
            }
        } else if (h == 2) {
            if (i >= RX_FRAME_BUFFER) {
                Dispatch(st, &tail, flags, sink);
                return;
            }
            st->qrncmd_array[i] = b;
            st->qrncmdIdx = i + 1;
        } else {
            st->qrnHeader = RX_HUNTING;
            st->qrncmdIdx = QRN_MAGIC_LEN;
        }
        tail.bytes++;
        tail.count--;
    }
    Dispatch(st, &tail, flags, sink);
}
