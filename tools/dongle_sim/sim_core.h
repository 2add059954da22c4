// Dongle simulator core: option parsing, the frames the dongle sends, the
// framer for the console's requests, the simulated monitors and line pacing.
// Plain portable code (no system calls) so that it can be tested natively.
#ifndef TOLVANE_SIM_CORE_H
#define TOLVANE_SIM_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "qrn_frame.h"

#define SIM_MAX_MONITORS 64
#define SIM_DEFAULT_MONITORS 8
#define SIM_PATH_SIZE 512
#define SIM_LINE_BAUD 115200
// 8N1: a start bit, eight data bits and a stop bit per byte.
#define SIM_BITS_PER_BYTE 10
#define SIM_LINE_BYTES_PER_SECOND (SIM_LINE_BAUD / SIM_BITS_PER_BYTE)

struct SimOptions {
    char device[SIM_PATH_SIZE];   // empty: open a new pty
    char link[SIM_PATH_SIZE];     // empty: no symlink
    char record[SIM_PATH_SIZE];   // empty: no recording
    char sent[SIM_PATH_SIZE];     // empty: no log of the reports sent
    char name[CFG_NAME_LEN + 1];
    char address[CFG_ADDR_LEN + 1];
    uint8_t versionMajor;
    uint8_t versionMinor;
    int32_t monitors;
    double rate;                  // register reports per second, all monitors together
    int32_t badChecksumEvery;     // 0: never
    int32_t split;
    int32_t garbage;
    int32_t silent;
    int32_t sequence;
    int32_t unpaced;              // as fast as the reader takes them, not at line speed
    int64_t maxReports;           // -1: unlimited
    uint32_t seed;
    int32_t verbose;
};

enum SimParseResult { SIM_PARSE_OK = 0, SIM_PARSE_HELP = 1, SIM_PARSE_ERROR = -1 };

void SimDefaultOptions(SimOptions *options);
// Fills options from the command line (argv[0] is skipped). On an error a
// one-line message goes into error (errorSize bytes, always terminated).
int ParseSimOptions(int argc, const char *const *argv, SimOptions *options, char *error, size_t errorSize);
const char *SimUsageText(void);

// Builders of the frames the dongle sends. Each returns the frame length.
int BuildDongleAckFrame(uint8_t *buffer);
int BuildDongleConfigFrame(uint8_t *buffer, const char *name, const char *address, uint8_t major, uint8_t minor);
// hasData = 0 leaves the check field clear and the measurement bytes zero.
int BuildRegisterDeviceFrame(uint8_t *buffer, const char *name, const char *address, int hasData, int8_t rssi,
                             uint8_t heartRate, uint16_t rrInterval, uint8_t battery);
#define SIM_MAX_FRAME_LEN REGISTER_DATA_FRAME_LEN

// Framer for the bytes the console sends.
enum SimRequest {
    SIM_REQ_NONE = 0,       // need more bytes
    SIM_REQ_SCAN_START,
    SIM_REQ_SCAN_STOP,
    SIM_REQ_SCAN_OTHER,     // scan control with an on byte other than 0 or 1
    SIM_REQ_CONFIG,
    SIM_REQ_CONSOLE_ACK,
    SIM_REQ_HRM_LINK,
    SIM_REQ_HRM_DISCONNECT,
    SIM_REQ_BAD_CHECKSUM,   // a known frame whose checksum fails; skipped
    SIM_REQ_SKIPPED         // bytes that start no known frame; skipped
};

#define SIM_RX_BUFFER 64
struct SimRxFramer {
    uint8_t bytes[SIM_RX_BUFFER];
    int32_t count;
};

void SimRxReset(SimRxFramer *framer);
void SimRxAdd(SimRxFramer *framer, uint8_t byte);
// Takes the next event from the bytes added so far; SIM_REQ_NONE when more
// bytes are needed. Call it until SIM_REQ_NONE after each SimRxAdd.
// SIM_REQ_SKIPPED and SIM_REQ_BAD_CHECKSUM drop one byte and keep looking
// for the next magic.
int SimRxNext(SimRxFramer *framer);
const char *SimRequestName(int request);

// Small deterministic random generator (xorshift32), so runs repeat.
uint32_t SimRandom(uint32_t *state);
// Uniform in [low, high].
int32_t SimRandomRange(uint32_t *state, int32_t low, int32_t high);

struct SimMonitor {
    char name[REG_NAME_LEN + 1];
    char address[REG_ADDR_LEN + 1];
    int32_t heartRate;    // beats per minute
    int32_t rrInterval;   // milliseconds
    int32_t battery;      // percent
    int32_t rssi;
    int32_t reports;
};

// The first eight have fixed names: a Qorvessa, a Polar (which the console
// refuses), others; one name fills all 25 characters.
void SimInitMonitors(SimMonitor *monitors, int32_t count, uint32_t seed);
// Moves a monitor's values on by one report: heart rate by a small random
// walk, R-R interval following it with some jitter, battery slowly down.
void SimStepMonitor(SimMonitor *monitor, uint32_t *random);

// Time the line needs to carry count bytes, in microseconds (rounded up).
int64_t SimLineMicros(int64_t count);
// Pacing: the line is busy until freeAt; a write of count bytes at time at
// (>= freeAt) keeps it busy for SimLineMicros(count) more.
struct SimPacer {
    int64_t freeAt;
};
int64_t SimPacerEarliest(const SimPacer *pacer, int64_t now);
void SimPacerCommit(SimPacer *pacer, int64_t at, int64_t count);

// Microseconds between two register reports for a rate in reports per second.
int64_t SimReportInterval(double rate);

#endif
