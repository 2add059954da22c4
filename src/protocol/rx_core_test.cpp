#include "rx_core.h"

#include "qrn_frame.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Cat(const Bytes &a, const Bytes &b)
{
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

Bytes Text(const char *s) { return Bytes(s, s + strlen(s)); }

// "QRN", the body from byte 3 and the checksum byte over the body.
Bytes Frame(const Bytes &body)
{
    Bytes f = Text("QRN");
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(FrameChecksumByte(body.data(), (uint32_t)body.size()));
    return f;
}

Bytes Ack(uint8_t byte5 = 0) { return Frame({0, 0, byte5, 0}); }

Bytes Field(const char *text, size_t width)
{
    Bytes f(width, 0);
    memcpy(f.data(), text, strlen(text) < width ? strlen(text) : width);
    return f;
}

Bytes Config(const char *name, const char *address, uint8_t major, uint8_t minor)
{
    Bytes body = {1, 2, 0, 0, 0, 28};
    body = Cat(body, Field(name, 12));
    body.push_back(FIELD_END);
    body = Cat(body, Field(address, 12));
    body.push_back(FIELD_END);
    body.push_back(major);
    body.push_back(minor);
    return Frame(body);
}

Bytes Register(const char *name, const char *address, uint8_t check, uint8_t heartRate = 72,
               uint16_t rrInterval = 830, uint8_t battery = 90)
{
    Bytes body = {0, 4, 0, 1, 0, 45};
    body = Cat(body, Field(name, 25));
    body.push_back(FIELD_END);
    body = Cat(body, Field(address, 12));
    body.push_back(FIELD_END);
    Bytes tail = {check, 0xC4, heartRate, (uint8_t)(rrInterval >> 8), (uint8_t)rrInterval, battery};
    return Frame(Cat(body, tail));
}

// Splits a stream into reads: the first of size first, the others of size
// every (a last one may be shorter).
std::vector<Bytes> Reads(const Bytes &stream, size_t first, size_t every)
{
    std::vector<Bytes> reads;
    size_t pos = 0;
    size_t n = first;
    while (pos < stream.size()) {
        size_t take = stream.size() - pos < n ? stream.size() - pos : n;
        reads.push_back(Bytes(stream.begin() + pos, stream.begin() + pos + take));
        pos += take;
        n = every;
    }
    return reads;
}

// Records the sink's calls and plays the roster: a monitor keeps the slot of
// its address; 20 slots.
struct Recorder {
    std::vector<std::string> events;
    bool logPaused = false;
    std::string addresses[RX_ROSTER_SLOTS];
    int used = 0;
};

void WriteLog(void *c, const char *text) { static_cast<Recorder *>(c)->events.push_back(std::string("log:") + text); }
void WritePausableLog(void *c, const char *text)
{
    Recorder *r = static_cast<Recorder *>(c);
    if (!r->logPaused)
        r->events.push_back(std::string("log:") + text);
}
void SetDongleInfo(void *c, const char *text) { static_cast<Recorder *>(c)->events.push_back(std::string("info:") + text); }
void SetStartCaption(void *c, const char *text)
{
    static_cast<Recorder *>(c)->events.push_back(std::string("caption:") + text);
}
void ClearRoster(void *c)
{
    Recorder *r = static_cast<Recorder *>(c);
    r->events.push_back("clear");
    r->used = 0;
}
int RegisterDevice(void *c, const char *name, const char *address)
{
    Recorder *r = static_cast<Recorder *>(c);
    int slot = -1;
    for (int s = 0; s < r->used; ++s)
        if (r->addresses[s] == address)
            slot = s;
    if (slot < 0 && r->used < RX_ROSTER_SLOTS) {
        slot = r->used++;
        r->addresses[slot] = address;
    }
    char text[100];
    snprintf(text, sizeof text, "reg:%s,%s->%d", name, address, slot);
    r->events.push_back(text);
    return slot;
}
void PostTipRefresh(void *c, int slot) { static_cast<Recorder *>(c)->events.push_back("tip:" + std::to_string(slot)); }
void SetTileCaption(void *c, int slot, int32_t heartRate, int32_t rrInterval, int32_t battery)
{
    char text[100];
    snprintf(text, sizeof text, "tile:%d,%d,%d,%d", slot, (int)heartRate, (int)rrInterval, (int)battery);
    static_cast<Recorder *>(c)->events.push_back(text);
}

struct Flags {
    uint8_t armed;
    int32_t active;
    int32_t stopPending;
};

struct Receiver {
    Recorder recorder;
    std::atomic<uint8_t> armed{11};
    std::atomic<int32_t> active{0};
    std::atomic<int32_t> stopPending{0};
    RxState st;
    RxSink sink = {&recorder, WriteLog, WritePausableLog, SetDongleInfo, SetStartCaption, ClearRoster,
                   RegisterDevice, PostTipRefresh, SetTileCaption};
    RxFlags flags = {&armed, &active, &stopPending};

    explicit Receiver(Flags f = {11, 0, 0})
    {
        armed = f.armed;
        active = f.active;
        stopPending = f.stopPending;
        RxInit(&st);
    }
    void Read(const Bytes &b) { RxHandleRead(&st, b.data(), (uint32_t)b.size(), &flags, &sink); }
    void Feed(const std::vector<Bytes> &reads)
    {
        for (const Bytes &b : reads)
            Read(b);
    }
};

const char *const GOT_ACK = "log:\r\n>> got dongle ack\r\n";

std::string Line(const char *format, int value)
{
    char text[100];
    snprintf(text, sizeof text, format, value);
    return std::string("log:") + text;
}

std::vector<std::string> Measured(const char *name, const char *address, int slot, int heartRate, int rr,
                                  int battery, bool logged)
{
    char reg[100], tile[100], trust[100];
    snprintf(reg, sizeof reg, "reg:%s,%s->%d", name, address, slot);
    snprintf(tile, sizeof tile, "tile:%d,%d,%d,%d", slot, heartRate, rr, battery);
    snprintf(trust, sizeof trust, "log:\r\ntrust, %d, %d\r\n", heartRate, battery);
    std::vector<std::string> e = {reg, "tip:" + std::to_string(slot), tile};
    if (logged)
        e.push_back(trust);
    return e;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct StreamCase {
    const char *name;
    Flags before;
    bool logPaused;
    int monitorsBefore; // slots already in use
    std::vector<Bytes> reads;
    std::vector<std::string> events;
    Flags after;
};

uint8_t BadSum(const Bytes &frame)
{
    return FrameCheck(frame.data() + 3, (uint32_t)frame.size() - 3);
}

Bytes Corrupt(Bytes frame)
{
    frame.back() ^= 0x5A;
    return frame;
}

std::vector<StreamCase> StreamCases()
{
    const Bytes reg = Register("Qorvessa H7", "AABBCCDDEEFF", 0x80, 61, 1000, 77);
    const std::vector<std::string> regEvents = Measured("Qorvessa H7", "AABBCCDDEEFF", 0, 61, 1000, 77, true);
    const Bytes badConfig = Corrupt(Config("DONGLE-01", "A1B2C3D4E5F6", 1, 7));
    const Bytes badReg = Corrupt(Register("Qorvessa H7", "AABBCCDDEEFF", 0x80));
    std::vector<std::string> dump;
    for (uint8_t b : badReg) {
        char hex[8];
        snprintf(hex, sizeof hex, "log:%02x", b);
        dump.push_back(hex);
    }
    dump.push_back(Line("\r\n>> QRN reg cmd bad chksum %x !!\r\n", BadSum(badReg)));
    const Bytes ackFrame = Ack();
    const Bytes ackBody(ackFrame.begin() + 3, ackFrame.end());
    Bytes stalled = Frame({1, 7, 0, 0});
    stalled.resize(RX_FRAME_BUFFER, 0x11);

    return {
        {"ack one byte per read", {11, 0, 0}, false, 0, Reads(Ack(), 1, 1), {GOT_ACK}, {11, 0, 0}},
        {"ack then register in one read", {11, 0, 0}, false, 0, {Cat(Ack(), reg)},
         Join({GOT_ACK}, regEvents), {11, 0, 0}},
        {"ack with stopAckPending drops the register behind it", {11, 0, 1}, false, 0, {Cat(Ack(), reg)},
         {GOT_ACK}, {11, 0, 0}},
        {"stopAckPending drops only what was held", {11, 0, 1}, false, 0, {Ack(), reg},
         Join({GOT_ACK}, regEvents), {11, 0, 0}},
        {"two zero bytes behind a frame drop the next frame", {11, 0, 0}, false, 0,
         {Cat(Cat(Ack(), {0, 0}), reg)}, {GOT_ACK}, {11, 0, 0}},
        {"'Q','R' at a read's end continue into the next read", {11, 0, 0}, false, 0,
         {Cat(Ack(), Text("QR")), Cat(Text("N"), ackBody)}, {GOT_ACK, GOT_ACK}, {11, 0, 0}},
        {"'Q' at a read's end continues into the next read", {11, 0, 0}, false, 0,
         {Cat(Ack(), Text("Q")), Cat(Text("RN"), ackBody)}, {GOT_ACK, GOT_ACK}, {11, 0, 0}},
        {"QQRN starts a frame", {11, 0, 0}, false, 0, {Cat(Text("QQRN"), ackBody)}, {GOT_ACK}, {11, 0, 0}},
        {"QRRN starts a frame", {11, 0, 0}, false, 0, {Cat(Text("QRRN"), ackBody)}, {GOT_ACK}, {11, 0, 0}},
        {"QNRN starts a frame", {11, 0, 0}, false, 0, {Cat(Text("QNRN"), ackBody)}, {GOT_ACK}, {11, 0, 0}},
        {"Q R 00 N does not", {11, 0, 0}, false, 0, {Cat(Bytes{'Q', 'R', 0, 'N'}, ackBody)}, {}, {11, 0, 0}},
        {"byte 3 = 'Q' is lost", {11, 0, 0}, false, 0, {Cat(Text("QRNQ"), ackBody)}, {GOT_ACK}, {11, 0, 0}},
        {"byte 3 = 'N' is lost: the frame is a byte short", {11, 0, 0}, false, 0, {Frame({'N', 0, 0, 0})}, {},
         {11, 0, 0}},
        {"Start ack turns scanning on", {0, 0, 0}, false, 0, {Ack()}, {GOT_ACK, "caption:Stop !!!"}, {1, 1, 0}},
        {"a second ack changes nothing", {0, 0, 0}, false, 0, {Ack(), Ack()},
         {GOT_ACK, "caption:Stop !!!", GOT_ACK}, {1, 1, 0}},
        {"Stop ack turns scanning off and empties the roster", {0, 1, 0}, false, 0, {Ack()},
         {GOT_ACK, "clear", "caption:Start ..."}, {1, 0, 0}},
        {"ack while stopAckPending still flips", {0, 1, 1}, false, 0, {Cat(Ack(), Ack())},
         {GOT_ACK, "clear", "caption:Start ..."}, {1, 0, 0}},
        {"ack-sized frame with byte 5 = 1 is consumed silently", {0, 0, 0}, false, 0, {Cat(Ack(1), Ack())},
         {GOT_ACK, "caption:Stop !!!"}, {1, 1, 0}},
        {"ack with bad checksum", {0, 0, 0}, false, 0, {Corrupt(Ack())},
         {Line("\r\n>> QRN ack cmd bad chksum %x !!\r\n", BadSum(Corrupt(Ack())))}, {0, 0, 0}},
        {"config with bad checksum leaves the box", {11, 0, 0}, false, 0, {badConfig},
         {Line("\r\n>> QRN config cmd bad chksum %x !!\r\n", BadSum(badConfig))}, {11, 0, 0}},
        {"config fills the info box", {11, 0, 0}, false, 0, {Config("DONGLE-01", "A1B2C3D4E5F6", 1, 7)},
         {"log:\r\n>> got dongle config data\r\n", "info:DONGLE-01 @A1:B2:C3:D4:E5:F6  Ver. 1.07"}, {11, 0, 0}},
        {"config version in hex", {11, 0, 0}, false, 0, {Config("D", "001122334455", 0x1A, 0x0B)},
         {"log:\r\n>> got dongle config data\r\n", "info:D @00:11:22:33:44:55  Ver. 1a.0b"}, {11, 0, 0}},
        {"register without measurements", {11, 0, 0}, false, 0, {Register("Band", "001122334455", 0x00)},
         {"reg:Band,001122334455->0"}, {11, 0, 0}},
        {"register with measurements while logging is paused", {11, 0, 0}, true, 0,
         {Register("Band", "001122334455", 0x80, 150, 0x1234, 5)},
         Measured("Band", "001122334455", 0, 150, 0x1234, 5, false), {11, 0, 0}},
        {"register with bad checksum", {11, 0, 0}, false, 0, {badReg}, dump, {11, 0, 0}},
        {"register with bad checksum while logging is paused", {11, 0, 0}, true, 0, {badReg}, dump, {11, 0, 0}},
        {"a 21st monitor", {11, 0, 0}, false, 20, {reg}, {"reg:Qorvessa H7,AABBCCDDEEFF->-1"}, {11, 0, 0}},
        {"a stalled frame costs the read after the buffer fills", {11, 0, 0}, false, 0,
         {Bytes(stalled.begin(), stalled.begin() + 150), Bytes(stalled.begin() + 150, stalled.end()), Ack(), Ack()},
         {GOT_ACK}, {11, 0, 0}},
        {"a stalled frame costs the rest of the read that fills it", {11, 0, 0}, false, 0,
         {Cat(Bytes(stalled.begin(), stalled.begin() + 250), Cat(Bytes(stalled.begin() + 250, stalled.end()), Ack())),
          Ack()},
         {GOT_ACK}, {11, 0, 0}},
    };
}

TEST(Receiver, ByteStreamsHaveTheirEffects)
{
    for (const StreamCase &c : StreamCases()) {
        SCOPED_TRACE(c.name);
        Receiver rx(c.before);
        rx.recorder.logPaused = c.logPaused;
        for (int s = 0; s < c.monitorsBefore; ++s) {
            rx.recorder.addresses[s] = "monitor" + std::to_string(s);
            rx.recorder.used++;
        }
        rx.Feed(c.reads);
        EXPECT_EQ(rx.recorder.events, c.events);
        EXPECT_EQ(rx.armed.load(), c.after.armed);
        EXPECT_EQ(rx.active.load(), c.after.active);
        EXPECT_EQ(rx.stopPending.load(), c.after.stopPending);
    }
}

TEST(Receiver, AckOneBytePerReadIsHandledAtItsEighthByte)
{
    Receiver rx;
    Bytes ack = Ack();
    for (size_t k = 0; k < ack.size(); ++k) {
        rx.Read(Bytes{ack[k]});
        EXPECT_EQ(rx.recorder.events.size(), k + 1 == ack.size() ? 1u : 0u) << "after byte " << k;
    }
}

TEST(Receiver, StalledFrameWritesNothingAndHuntsAgain)
{
    Receiver rx;
    Bytes stalled = Frame({1, 7, 0, 0});
    stalled.resize(RX_FRAME_BUFFER, 0);
    rx.Read(stalled);
    EXPECT_EQ(rx.st.qrnHeader, 2);
    EXPECT_EQ(rx.st.qrncmdIdx, RX_FRAME_BUFFER);
    rx.Read(Ack());
    EXPECT_EQ(rx.st.qrnHeader, RX_HUNTING);
    EXPECT_EQ(rx.st.qrncmdIdx, 3);
    EXPECT_TRUE(rx.recorder.events.empty());
}

// The same stream gives the same effects however the line cuts it into
// reads.
TEST(Receiver, EffectsDoNotDependOnReadBoundaries)
{
    Bytes stream = Cat(Cat(Cat(Ack(), Config("DONGLE-01", "A1B2C3D4E5F6", 1, 7)), Register("A", "0000000000AA", 0x80)),
                       Register("B", "0000000000BB", 0x00));
    Receiver whole;
    whole.Read(stream);
    ASSERT_EQ(whole.recorder.events.size(), 8u);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Receiver rx;
        rx.Feed(Reads(stream, cut, RX_READ_MAX));
        EXPECT_EQ(rx.recorder.events, whole.recorder.events);
    }
    Receiver bytewise;
    bytewise.Feed(Reads(stream, 1, 1));
    EXPECT_EQ(bytewise.recorder.events, whole.recorder.events);
}

// Corrupting any one byte of a frame gives the frame once or no frame, never
// anything else.
TEST(Receiver, CorruptedRegisterIsRejectedCleanly)
{
    Bytes good = Register("A", "0000000000AA", 0x80);
    for (size_t k = 3; k < good.size(); ++k) {
        SCOPED_TRACE("byte " + std::to_string(k));
        Bytes bad = good;
        bad[k] ^= 0x01;
        Receiver rx;
        rx.Feed({bad, Ack()});
        for (const std::string &e : rx.recorder.events)
            EXPECT_TRUE(e.rfind("tile:", 0) != 0 && e.rfind("reg:", 0) != 0) << e;
    }
}

// A receiver that falls behind the line meets full reads with a partial
// frame held; no complete frame may be lost to the full buffer.
TEST(Receiver, FullReadsWithAPartialFrameHeldLoseNoFrame)
{
    Bytes stream;
    std::vector<std::string> expected;
    for (int k = 0; k < 40; ++k) {
        char name[16], address[16];
        snprintf(name, sizeof name, "HRM-%02d", k % 20);
        snprintf(address, sizeof address, "C0FFEE0000%02d", k % 20);
        stream = Cat(stream, Register(name, address, 0x80, (uint8_t)(60 + k), (uint16_t)(700 + k), (uint8_t)k));
        expected = Join(expected, Measured(name, address, k % 20, 60 + k, 700 + k, k, true));
    }
    for (size_t first : {20, 54, 100, 297}) {
        SCOPED_TRACE("first read " + std::to_string(first));
        Receiver rx;
        rx.Feed(Reads(stream, first, RX_READ_MAX));
        EXPECT_EQ(rx.recorder.events, expected);
    }
}

// Handling frames early at a full buffer keeps every other outcome: the
// bytes behind a frame that do not start with the magic still cost what
// follows them in the read.
TEST(Receiver, FullBufferKeepsTheDropBehindAFrame)
{
    Bytes a = Register("A", "0000000000AA", 0x80, 70, 800, 50);
    Bytes b = Register("B", "0000000000BB", 0x80, 71, 801, 51);
    Bytes held(a.begin(), a.begin() + 40);
    // Rest of a, two zero bytes, then frames b up to a full read.
    Bytes full(a.begin() + 40, a.end());
    full.push_back(0);
    full.push_back(0);
    while (full.size() < RX_READ_MAX)
        full = Cat(full, b);
    full.resize(RX_READ_MAX);
    Receiver rx;
    rx.Feed({held, full, b});
    EXPECT_EQ(rx.recorder.events, Join(Measured("A", "0000000000AA", 0, 70, 800, 50, true),
                                       Measured("B", "0000000000BB", 1, 71, 801, 51, true)));
}

TEST(Receiver, FullBufferKeepsAMagicSplitAtItsEnd)
{
    // Frames of 55 + 55 + 38 + 38 + 14 * 8 = 298 bytes, then "QR" on the
    // buffer's last two bytes; the read goes on with 'N' and the rest of an
    // acknowledgement whose byte 3 is 'Q'. Behind a handled frame the bytes
    // are stored as they come, so that byte 3 is kept and the frame is valid.
    Bytes stream = Cat(Register("A", "0000000000AA", 0x00), Register("B", "0000000000BB", 0x00));
    stream = Cat(stream, Cat(Config("D1", "000000000001", 1, 0), Config("D2", "000000000002", 1, 0)));
    for (int k = 0; k < 14; ++k)
        stream = Cat(stream, Ack());
    ASSERT_EQ(stream.size(), 298u);
    stream = Cat(stream, Frame({'Q', 0, 0, 0}));
    Receiver rx;
    rx.Feed(Reads(stream, 10, RX_READ_MAX));
    std::vector<std::string> expected = {"reg:A,0000000000AA->0", "reg:B,0000000000BB->1",
                                         "log:\r\n>> got dongle config data\r\n", "info:D1 @00:00:00:00:00:01  Ver. 1.00",
                                         "log:\r\n>> got dongle config data\r\n", "info:D2 @00:00:00:00:00:02  Ver. 1.00"};
    for (int k = 0; k < 15; ++k)
        expected.push_back(GOT_ACK);
    EXPECT_EQ(rx.recorder.events, expected);
}

TEST(Receiver, CopyTextField)
{
    const uint8_t withEnd[] = {'A', 0, 'B', FIELD_END};
    char out[4];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(CopyTextField(out, withEnd, 3), 1);
    EXPECT_EQ(memcmp(out, "A\0B\0", 4), 0);
    const uint8_t withoutEnd[] = {'A', 'B', 'C', 0};
    EXPECT_EQ(CopyTextField(out, withoutEnd, 3), 0);
    EXPECT_STREQ(out, "ABC");
}

TEST(Receiver, TextFieldsWithoutFieldEndAreConsumedSilently)
{
    Bytes config = Config("DONGLE-01", "A1B2C3D4E5F6", 1, 7);
    Bytes body(config.begin() + 3, config.end() - 1);
    body[21 - 3] = 0; // the name's FIELD_END
    Bytes reg = Register("A", "0000000000AA", 0x80);
    Bytes regBody(reg.begin() + 3, reg.end() - 1);
    regBody[47 - 3] = ' '; // the address's FIELD_END
    Receiver rx;
    rx.Read(Cat(Cat(Frame(body), Frame(regBody)), Ack()));
    EXPECT_EQ(rx.recorder.events, std::vector<std::string>{GOT_ACK});
}

struct ResyncCase {
    const char *name;
    Bytes held; // frame buffer contents, magic included
    int32_t n;
    Bytes front; // expected leading bytes after the resync
    int32_t idx;
    int32_t header;
};

TEST(Receiver, ResyncAfterFrame)
{
    Bytes ack = Ack();
    const ResyncCase cases[] = {
        {"nothing behind", ack, 8, Text("QRN"), 3, RX_HUNTING},
        {"a frame behind", Cat(ack, Text("QRN\x01")), 8, Text("QRN\x01"), 4, 2},
        {"QR behind", Cat(ack, Text("QR")), 8, Text("QR"), 2, 1},
        {"Q behind", Cat(ack, Text("Q")), 8, Text("Q"), 1, 0},
        {"QR and more behind", Cat(ack, Text("QRx!")), 8, Text("QRx!"), 4, 1},
        {"Q and more behind", Cat(ack, Text("Qx")), 8, Text("Qx"), 2, 0},
        {"other bytes behind", Cat(ack, Text("xQRN")), 8, Text("QRN"), 3, RX_HUNTING},
    };
    for (const ResyncCase &c : cases) {
        SCOPED_TRACE(c.name);
        RxState st;
        RxInit(&st);
        memcpy(st.qrncmd_array, c.held.data(), c.held.size());
        st.qrncmdIdx = (int32_t)c.held.size();
        st.qrnHeader = 2;
        ResyncAfterFrame(&st, c.n);
        EXPECT_EQ(st.qrncmdIdx, c.idx);
        EXPECT_EQ(st.qrnHeader, c.header);
        EXPECT_EQ(Bytes(st.qrncmd_array, st.qrncmd_array + c.front.size()), c.front);
    }
}

// After a kept "QR" with more bytes behind it, the next dispatch drops them.
TEST(Receiver, PartialMagicWithBytesBehindIsDropped)
{
    Receiver rx;
    rx.Feed({Cat(Cat(Ack(), Text("QRx")), Ack()), Ack()});
    EXPECT_EQ(rx.recorder.events, (std::vector<std::string>{GOT_ACK, GOT_ACK}));
    EXPECT_EQ(rx.st.qrnHeader, RX_HUNTING);
}

} // namespace
