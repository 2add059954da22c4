#include "qrn_frame.h"

#include <string.h>

uint8_t FrameCrcLow(const uint8_t *bytes, uint32_t count, const uint16_t *start)
{
    uint16_t r = start ? *start : 0xFFFF;
    for (uint32_t i = 0; i < count; ++i) {
        r = (uint16_t)((r >> 8) | (r << 8));
        r ^= bytes[i];
        r ^= (uint16_t)((r & 0xFF) >> 4);
        r ^= (uint16_t)(r << 12);
        r ^= (uint16_t)((r & 0xFF) << 5);
    }
    return (uint8_t)(r & 0xFF);
}

uint8_t FrameCheck(const uint8_t *fromByte3, uint32_t span)
{
    if (span == 0)
        return 0xFF; // nothing to check: never valid
    return (uint8_t)(FrameCrcLow(fromByte3, span - 1, nullptr) + fromByte3[span - 1]);
}

uint8_t FrameChecksumByte(const uint8_t *fromByte3, uint32_t count)
{
    return (uint8_t)(256 - FrameCrcLow(fromByte3, count, nullptr));
}

void BuildScanControlFrame(uint8_t *buffer, int on, uint8_t *length)
{
    static const uint8_t head[] = {QRN_MAGIC_0, QRN_MAGIC_1, QRN_MAGIC_2, 0x01, 0x04, 0x00,
                                   CMD_SCAN_CONTROL, 0x00, 0x02, 0x00};
    memcpy(buffer, head, sizeof head);
    buffer[10] = (uint8_t)on;
    buffer[11] = FrameChecksumByte(buffer + 3, 8);
    *length = SCAN_CONTROL_FRAME_LEN;
}

void BuildConfigRequestFrame(uint8_t *buffer, uint8_t *length)
{
    static const uint8_t head[] = {QRN_MAGIC_0, QRN_MAGIC_1, QRN_MAGIC_2, 0x01, 0x04, 0x00,
                                   CMD_CONFIG, 0x00, 0x01, 0x00};
    memcpy(buffer, head, sizeof head);
    buffer[10] = FrameChecksumByte(buffer + 3, 7);
    *length = CONFIG_REQUEST_FRAME_LEN;
}

static const char *DescriptionLine(const uint8_t *frame, int32_t length)
{
    // Byte 3 is never looked at; bytes beyond the frame are not read.
    uint8_t b4 = length > 4 ? frame[4] : 0xFF;
    uint8_t b5 = length > 5 ? frame[5] : 0xFF;
    uint8_t b6 = length > 6 ? frame[6] : 0xFF;
    if (b4 == 4 && b5 == 0 && b6 == 0) {
        uint8_t b10 = length > 10 ? frame[10] : 0xFF;
        if (b10 == 0)
            return "SoftReset Dongle\r\n";
        if (b10 == 1)
            return "sent start ADV\r\n";
        return "";
    }
    if (b4 == 0 && b5 == 0 && b6 == 0)
        return "sent console ACK\r\n";
    if (b5 == 0 && b6 == CMD_HRM_LINK)
        return "ask HRM link\r\n";
    if (b5 == 0 && b6 == CMD_HRM_DISCONNECT)
        return "ask HRM disconnect\r\n";
    if (b5 == 0 && b6 == CMD_CONFIG)
        return "ask Dongle Config data\r\n";
    return "";
}

void DescribeSentFrame(const uint8_t *frame, char *text, int32_t length)
{
    static const char hex[] = "0123456789ABCDEF";
    if (length < QRN_MAGIC_LEN || frame[0] != QRN_MAGIC_0 || frame[1] != QRN_MAGIC_1 ||
        frame[2] != QRN_MAGIC_2) {
        text[0] = '\0';
        return;
    }
    char *p = text;
    *p++ = 'Q';
    *p++ = 'R';
    *p++ = 'N';
    for (int32_t i = 3; i < length; ++i) {
        *p++ = hex[frame[i] >> 4];
        *p++ = hex[frame[i] & 0x0F];
    }
    *p++ = '\r';
    *p++ = '\n';
    const char *line = DescriptionLine(frame, length);
    size_t n = strlen(line);
    memcpy(p, line, n + 1);
}
