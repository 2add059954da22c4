// QRN frames: layout constants, checksum, the builders of the frames the
// console sends and the text that describes a sent frame in the traffic log.
// Pure operations on caller-owned buffers; no Windows headers.
#ifndef TOLVANE_QRN_FRAME_H
#define TOLVANE_QRN_FRAME_H

#include <stdint.h>

#define QRN_MAGIC_0 0x51 /* 'Q' */
#define QRN_MAGIC_1 0x52 /* 'R' */
#define QRN_MAGIC_2 0x4E /* 'N' */
#define QRN_MAGIC_LEN 3

#define FIELD_END 0x1F

#define CMD_SCAN_CONTROL 0x00
#define CMD_CONFIG 0x80
#define CMD_HRM_LINK 0x90
#define CMD_HRM_DISCONNECT 0xA0

// Frame lengths, magic and checksum included.
#define SCAN_CONTROL_FRAME_LEN 12
#define CONFIG_REQUEST_FRAME_LEN 11
#define ACK_FRAME_LEN 8
#define CONFIG_DATA_FRAME_LEN 38
#define REGISTER_DATA_FRAME_LEN 55

// Offsets inside the dongle's configuration data frame.
#define CFG_NAME_OFS 9
#define CFG_NAME_LEN 12
#define CFG_ADDR_OFS 22
#define CFG_ADDR_LEN 12
#define CFG_VER_MAJOR_OFS 35
#define CFG_VER_MINOR_OFS 36

// Offsets inside a register device data frame.
#define REG_NAME_OFS 9
#define REG_NAME_LEN 25
#define REG_ADDR_OFS 35
#define REG_ADDR_LEN 12
#define REG_CHECK_OFS 48
#define REG_RSSI_OFS 49
#define REG_HR_OFS 50
#define REG_RR_OFS 51
#define REG_BAT_OFS 53
#define REG_CHECK_HAS_DATA 0x80

// Worst case of DescribeSentFrame's text: 2 * length + 24, terminator included.
#define DESCRIBE_TEXT_SIZE(len) (2 * (len) + 24)

// Low 8 bits of CRC-16/CCITT-FALSE over count bytes; start may be null
// (then the register starts at 0xFFFF).
uint8_t FrameCrcLow(const uint8_t *bytes, uint32_t count, const uint16_t *start);

// (FrameCrcLow of the first span-1 bytes + the last byte) mod 256, for a
// frame's bytes from offset 3 to its end; 0 means valid.
uint8_t FrameCheck(const uint8_t *fromByte3, uint32_t span);

// Two's complement of the CRC's low byte: the checksum byte for bytes 3..n-2.
uint8_t FrameChecksumByte(const uint8_t *fromByte3, uint32_t count);

void BuildScanControlFrame(uint8_t *buffer, int on, uint8_t *length);
void BuildConfigRequestFrame(uint8_t *buffer, uint8_t *length);

// Writes "QRN", the bytes from offset 3 in upper-case hex, CR LF and a
// description line into text (DESCRIBE_TEXT_SIZE(length) characters suffice).
void DescribeSentFrame(const uint8_t *frame, char *text, int32_t length);

#endif
