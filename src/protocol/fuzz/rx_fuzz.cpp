// libFuzzer target for the receiver's byte handling. Input layout:
//   byte 0: bit 0 scanToggleArmed clear, bit 1 scanActive set, bit 2
//           stopAckPending set, bit 3 roster refuses every monitor;
//   then reads: one length byte (0 means a full read of RX_READ_MAX bytes)
//   followed by up to that many bytes of the read.
// After the input, RX_FRAME_BUFFER zero bytes cut into reads by the input's
// last byte must leave the framer hunting with nothing held.
#include "rx_core.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct FuzzContext {
    int refuse;
    int registered;
};

void Check(bool condition)
{
    if (!condition)
        abort();
}

void CheckText(const char *text) { Check(strlen(text) < RX_DEBUG_STR); }

void WriteLog(void *, const char *text) { CheckText(text); }
void SetText(void *, const char *text) { CheckText(text); }
void ClearRoster(void *context) { static_cast<FuzzContext *>(context)->registered = 0; }
int RegisterDevice(void *context, const char *name, const char *address)
{
    FuzzContext *c = static_cast<FuzzContext *>(context);
    Check(strlen(name) <= 25 && strlen(address) <= 12);
    if (c->refuse || c->registered >= RX_ROSTER_SLOTS)
        return -1;
    return c->registered++;
}
void PostTipRefresh(void *, int slot) { Check(slot >= 0 && slot < RX_ROSTER_SLOTS); }
void SetTileCaption(void *, int slot, int32_t heartRate, int32_t rrInterval, int32_t battery)
{
    Check(slot >= 0 && slot < RX_ROSTER_SLOTS);
    Check(heartRate >= 0 && heartRate <= 255 && rrInterval >= 0 && rrInterval <= 65535 && battery >= 0 &&
          battery <= 255);
}

void CheckState(const RxState &st)
{
    Check(st.qrncmdIdx >= 0 && st.qrncmdIdx <= RX_FRAME_BUFFER);
    Check(st.qrnHeader == RX_HUNTING || (st.qrnHeader >= 0 && st.qrnHeader <= 2));
    if (st.qrnHeader == 2) {
        Check(st.qrncmdIdx >= 3);
        Check(memcmp(st.qrncmd_array, "QRN", 3) == 0);
    }
    if (st.qrnHeader != 2)
        Check(st.qrncmdIdx <= 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::atomic<uint8_t> armed((data[0] & 1) ? 0 : 11);
    std::atomic<int32_t> active((data[0] & 2) ? 1 : 0);
    std::atomic<int32_t> stopPending((data[0] & 4) ? 1 : 0);
    FuzzContext context = {(data[0] & 8) ? 1 : 0, 0};
    RxSink sink = {&context, WriteLog, WriteLog, SetText, SetText, ClearRoster, RegisterDevice, PostTipRefresh,
                   SetTileCaption};
    RxFlags flags = {&armed, &active, &stopPending};
    static RxState st;
    RxInit(&st);

    size_t pos = 1;
    while (pos < size) {
        size_t want = data[pos++];
        if (want == 0)
            want = RX_READ_MAX;
        if (want > size - pos)
            want = size - pos;
        // Reads come from a buffer of the size the thread uses.
        uint8_t read[RX_READ_BUFFER];
        memcpy(read, data + pos, want);
        pos += want;
        RxHandleRead(&st, read, (uint32_t)want, &flags, &sink);
        CheckState(st);
    }

    // No state may hold on to the framer: a line of non-magic bytes longer
    // than the frame buffer brings it back to hunting, however it is cut.
    static const uint8_t zeros[RX_FRAME_BUFFER] = {0};
    size_t cut = data[size - 1] % RX_READ_MAX + 1;
    size_t fed = 0;
    while (fed < RX_FRAME_BUFFER) {
        size_t n = RX_FRAME_BUFFER - fed < cut ? RX_FRAME_BUFFER - fed : cut;
        RxHandleRead(&st, zeros, (uint32_t)n, &flags, &sink);
        CheckState(st);
        fed += n;
    }
    Check(st.qrnHeader == RX_HUNTING && st.qrncmdIdx == 3);
    return 0;
}
