#include "sim_core.h"

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char kUsage[] =
    "usage: tolvane-dongle-sim [options]\n"
    "Simulates the QRN dongle on a pseudo-terminal (or on --device) at 115200 baud 8N1.\n"
    "Prints the path it serves as \"serving PATH\" on standard output.\n"
    "\n"
    "  --device PATH          serve an existing tty (e.g. one end of a socat pty pair)\n"
    "                         instead of opening a new pty\n"
    "  --link PATH            also make PATH a symlink to the served device (removed at exit)\n"
    "  --name TEXT            dongle name, at most 12 characters (default \"QRN Dongle A\")\n"
    "  --address TEXT         dongle address, exactly 12 characters (default \"D0C1A0B2E3F4\")\n"
    "  --version MAJ.MIN      firmware version, 0..255 each (default 2.7)\n"
    "  --monitors N           simulated monitors, 1..64 (default 8)\n"
    "  --rate R               register reports per second for all monitors together,\n"
    "                         taken in turn (default: one per monitor per second);\n"
    "                         the 115200-baud line caps it near 209 (55-byte frames)\n"
    "  --max-reports N        send at most N register reports in all, then none\n"
    "  --sequence             report k (1, 2, 3, ... over all monitors) carries heart rate\n"
    "                         k mod 256, battery (k / 256) mod 256 and R-R interval\n"
    "                         k mod 65536, so losses show in captions and \"trust\" lines\n"
    "  --unpaced              no line pacing: reports follow each other as fast as the\n"
    "                         reader takes them (--rate and --split gaps ignored)\n"
    "  --sent FILE            append \"k monitor microseconds\" for every register report\n"
    "                         k once its last byte is written (Unix time, microseconds)\n"
    "  --seed N               seed of the simulated values and addresses (default 1)\n"
    "faults:\n"
    "  --bad-checksum-every N every Nth register report is preceded by a copy of it\n"
    "                         with a wrong checksum byte\n"
    "  --split                write frames in random pieces with gaps of 1-4 ms\n"
    "  --garbage              write 1-8 random bytes (never 'Q', 'R' or 'N') before each frame\n"
    "  --silent               answer nothing and report nothing\n"
    "  --record FILE          append every byte received to FILE, one line per read:\n"
    "                         seconds since start, then the bytes in hexadecimal\n"
    "  --verbose              log requests and state changes on standard error\n"
    "  --help                 show this text\n";

const char *SimUsageText(void)
{
    return kUsage;
}

void SimDefaultOptions(SimOptions *options)
{
    memset(options, 0, sizeof *options);
    snprintf(options->name, sizeof options->name, "%s", "QRN Dongle A");
    snprintf(options->address, sizeof options->address, "%s", "D0C1A0B2E3F4");
    options->versionMajor = 2;
    options->versionMinor = 7;
    options->monitors = SIM_DEFAULT_MONITORS;
    options->rate = 0;  // resolved after parsing: one per monitor per second
    options->maxReports = -1;
    options->seed = 1;
}

static int Fail(char *error, size_t errorSize, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(error, errorSize, format, args);
    va_end(args);
    return SIM_PARSE_ERROR;
}

static bool ParseLong(const char *text, long long low, long long high, long long *value)
{
    if (text[0] == '\0') return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

static bool CopyText(char *out, size_t outSize, const char *text)
{
    size_t length = strlen(text);
    if (length >= outSize) return false;
    memcpy(out, text, length + 1);
    return true;
}

// Option names that take a value.
static const char *const kValued[] = {"--device", "--link",   "--record", "--sent",
                                      "--name",   "--address", "--version",
                                      "--monitors", "--rate", "--bad-checksum-every",
                                      "--max-reports", "--seed"};

int ParseSimOptions(int argc, const char *const *argv, SimOptions *options, char *error, size_t errorSize)
{
    SimDefaultOptions(options);
    if (errorSize > 0) error[0] = '\0';
    for (int i = 1; i < argc; i++) {
        char option[64];
        const char *arg = argv[i];
        const char *value = nullptr;
        const char *eq = strchr(arg, '=');
        if (strncmp(arg, "--", 2) == 0 && eq != nullptr) {
            size_t n = (size_t)(eq - arg);
            if (n >= sizeof option) return Fail(error, errorSize, "unknown option '%s' (try --help)", arg);
            memcpy(option, arg, n);
            option[n] = '\0';
            value = eq + 1;
        } else {
            if (!CopyText(option, sizeof option, arg))
                return Fail(error, errorSize, "unknown option '%s' (try --help)", arg);
        }

        bool valued = false;
        for (size_t k = 0; k < sizeof kValued / sizeof kValued[0]; k++)
            if (strcmp(option, kValued[k]) == 0) valued = true;
        if (valued && value == nullptr) {
            if (i + 1 >= argc) return Fail(error, errorSize, "option %s needs a value", option);
            value = argv[++i];
        } else if (!valued && value != nullptr) {
            return Fail(error, errorSize, "option %s takes no value", option);
        }

        long long number = 0;
        if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
            return SIM_PARSE_HELP;
        } else if (strcmp(option, "--device") == 0 || strcmp(option, "--link") == 0 ||
                   strcmp(option, "--record") == 0 || strcmp(option, "--sent") == 0) {
            char *out = option[2] == 'd'   ? options->device
                        : option[2] == 'l' ? options->link
                        : option[2] == 'r' ? options->record
                                           : options->sent;
            if (value[0] == '\0') return Fail(error, errorSize, "%s needs a non-empty path", option);
            if (!CopyText(out, SIM_PATH_SIZE, value))
                return Fail(error, errorSize, "%s: path longer than %d characters", option, SIM_PATH_SIZE - 1);
        } else if (strcmp(option, "--name") == 0) {
            if (!CopyText(options->name, sizeof options->name, value))
                return Fail(error, errorSize, "--name: at most %d characters, got %zu", CFG_NAME_LEN, strlen(value));
        } else if (strcmp(option, "--address") == 0) {
            if (strlen(value) != CFG_ADDR_LEN)
                return Fail(error, errorSize, "--address: exactly %d characters, got %zu", CFG_ADDR_LEN,
                            strlen(value));
            CopyText(options->address, sizeof options->address, value);
        } else if (strcmp(option, "--version") == 0) {
            char major[16], minor[16];
            const char *dot = strchr(value, '.');
            long long a = 0, b = 0;
            if (dot == nullptr || (size_t)(dot - value) >= sizeof major || strlen(dot + 1) >= sizeof minor)
                return Fail(error, errorSize, "--version: expected MAJOR.MINOR, got '%s'", value);
            memcpy(major, value, (size_t)(dot - value));
            major[dot - value] = '\0';
            CopyText(minor, sizeof minor, dot + 1);
            if (!ParseLong(major, 0, 255, &a) || !ParseLong(minor, 0, 255, &b))
                return Fail(error, errorSize, "--version: expected MAJOR.MINOR with parts 0..255, got '%s'", value);
            options->versionMajor = (uint8_t)a;
            options->versionMinor = (uint8_t)b;
        } else if (strcmp(option, "--monitors") == 0) {
            if (!ParseLong(value, 1, SIM_MAX_MONITORS, &number))
                return Fail(error, errorSize, "--monitors: expected a whole number 1..%d, got '%s'",
                            SIM_MAX_MONITORS, value);
            options->monitors = (int32_t)number;
        } else if (strcmp(option, "--rate") == 0) {
            char *end = nullptr;
            errno = 0;
            double rate = strtod(value, &end);
            if (value[0] == '\0' || *end != '\0' || errno != 0 || !(rate >= 0.01 && rate <= 1000))
                return Fail(error, errorSize, "--rate: expected reports per second 0.01..1000, got '%s'", value);
            options->rate = rate;
        } else if (strcmp(option, "--bad-checksum-every") == 0) {
            if (!ParseLong(value, 1, 1000000000, &number))
                return Fail(error, errorSize, "--bad-checksum-every: expected a whole number >= 1, got '%s'", value);
            options->badChecksumEvery = (int32_t)number;
        } else if (strcmp(option, "--max-reports") == 0) {
            if (!ParseLong(value, 0, 1000000000000LL, &number))
                return Fail(error, errorSize, "--max-reports: expected a whole number >= 0, got '%s'", value);
            options->maxReports = number;
        } else if (strcmp(option, "--seed") == 0) {
            if (!ParseLong(value, 0, 4294967295LL, &number))
                return Fail(error, errorSize, "--seed: expected a whole number 0..4294967295, got '%s'", value);
            options->seed = (uint32_t)number;
        } else if (strcmp(option, "--split") == 0) {
            options->split = 1;
        } else if (strcmp(option, "--garbage") == 0) {
            options->garbage = 1;
        } else if (strcmp(option, "--silent") == 0) {
            options->silent = 1;
        } else if (strcmp(option, "--sequence") == 0) {
            options->sequence = 1;
        } else if (strcmp(option, "--unpaced") == 0) {
            options->unpaced = 1;
        } else if (strcmp(option, "--verbose") == 0) {
            options->verbose = 1;
        } else {
            return Fail(error, errorSize, "unknown option '%s' (try --help)", arg);
        }
    }
    if (options->rate == 0) options->rate = options->monitors;
    return SIM_PARSE_OK;
}

static void PutText(uint8_t *out, const char *text, int width)
{
    // Fixed-width field, zero padded; longer text is cut.
    int i = 0;
    for (; i < width && text[i] != '\0'; i++) out[i] = (uint8_t)text[i];
    for (; i < width; i++) out[i] = 0;
}

int BuildDongleAckFrame(uint8_t *buffer)
{
    buffer[0] = QRN_MAGIC_0;
    buffer[1] = QRN_MAGIC_1;
    buffer[2] = QRN_MAGIC_2;
    // Byte 3 must not be 1 (the console's flag) nor a magic character,
    // which the console's framer would take as the start of a new frame.
    buffer[3] = 0x00;
    buffer[4] = 0x00;
    buffer[5] = 0x00;
    buffer[6] = 0x00;
    buffer[7] = FrameChecksumByte(buffer + 3, 4);
    return ACK_FRAME_LEN;
}

int BuildDongleConfigFrame(uint8_t *buffer, const char *name, const char *address, uint8_t major, uint8_t minor)
{
    static const uint8_t head[] = {QRN_MAGIC_0, QRN_MAGIC_1, QRN_MAGIC_2, 0x01, 0x02, 0x00, 0x00,
                                   0x00, CONFIG_DATA_FRAME_LEN - 10};
    static_assert(sizeof head == CFG_NAME_OFS, "header ends where the name starts");
    memcpy(buffer, head, sizeof head);
    PutText(buffer + CFG_NAME_OFS, name, CFG_NAME_LEN);
    buffer[CFG_NAME_OFS + CFG_NAME_LEN] = FIELD_END;
    PutText(buffer + CFG_ADDR_OFS, address, CFG_ADDR_LEN);
    buffer[CFG_ADDR_OFS + CFG_ADDR_LEN] = FIELD_END;
    buffer[CFG_VER_MAJOR_OFS] = major;
    buffer[CFG_VER_MINOR_OFS] = minor;
    buffer[CONFIG_DATA_FRAME_LEN - 1] = FrameChecksumByte(buffer + 3, CONFIG_DATA_FRAME_LEN - 4);
    return CONFIG_DATA_FRAME_LEN;
}

int BuildRegisterDeviceFrame(uint8_t *buffer, const char *name, const char *address, int hasData, int8_t rssi,
                             uint8_t heartRate, uint16_t rrInterval, uint8_t battery)
{
    static const uint8_t head[] = {QRN_MAGIC_0, QRN_MAGIC_1, QRN_MAGIC_2, 0x00, 0x04, 0x00, 0x01,
                                   0x00, REGISTER_DATA_FRAME_LEN - 10};
    static_assert(sizeof head == REG_NAME_OFS, "header ends where the name starts");
    memcpy(buffer, head, sizeof head);
    PutText(buffer + REG_NAME_OFS, name, REG_NAME_LEN);
    buffer[REG_NAME_OFS + REG_NAME_LEN] = FIELD_END;
    PutText(buffer + REG_ADDR_OFS, address, REG_ADDR_LEN);
    buffer[REG_ADDR_OFS + REG_ADDR_LEN] = FIELD_END;
    buffer[REG_CHECK_OFS] = hasData ? REG_CHECK_HAS_DATA : 0x00;
    buffer[REG_RSSI_OFS] = (uint8_t)rssi;
    buffer[REG_HR_OFS] = hasData ? heartRate : 0;
    buffer[REG_RR_OFS] = hasData ? (uint8_t)(rrInterval >> 8) : 0;
    buffer[REG_RR_OFS + 1] = hasData ? (uint8_t)(rrInterval & 0xFF) : 0;
    buffer[REG_BAT_OFS] = hasData ? battery : 0;
    buffer[REGISTER_DATA_FRAME_LEN - 1] = FrameChecksumByte(buffer + 3, REGISTER_DATA_FRAME_LEN - 4);
    return REGISTER_DATA_FRAME_LEN;
}

void SimRxReset(SimRxFramer *framer)
{
    framer->count = 0;
}

static void DropFront(SimRxFramer *framer, int32_t n)
{
    memmove(framer->bytes, framer->bytes + n, (size_t)(framer->count - n));
    framer->count -= n;
}

void SimRxAdd(SimRxFramer *framer, uint8_t byte)
{
    if (framer->count == SIM_RX_BUFFER) DropFront(framer, 1);  // cannot happen: SimRxNext keeps it short
    framer->bytes[framer->count++] = byte;
}

int SimRxNext(SimRxFramer *framer)
{
    static const uint8_t magic[QRN_MAGIC_LEN] = {QRN_MAGIC_0, QRN_MAGIC_1, QRN_MAGIC_2};
    const uint8_t *b = framer->bytes;
    for (int32_t i = 0; i < QRN_MAGIC_LEN && i < framer->count; i++) {
        if (b[i] != magic[i]) {
            DropFront(framer, 1);
            return SIM_REQ_SKIPPED;
        }
    }
    if (framer->count < 7) return SIM_REQ_NONE;

    int32_t length = 0;
    int kind = SIM_REQ_SKIPPED;
    if (b[4] == 0x04 && b[5] == 0 && b[6] == CMD_SCAN_CONTROL) {
        length = SCAN_CONTROL_FRAME_LEN;
    } else if (b[4] == 0x04 && b[5] == 0 && b[6] == CMD_CONFIG) {
        length = CONFIG_REQUEST_FRAME_LEN;
        kind = SIM_REQ_CONFIG;
    } else if (b[4] == 0x04 && b[5] == 0 && b[6] == CMD_HRM_LINK) {
        length = 23;
        kind = SIM_REQ_HRM_LINK;
    } else if (b[4] == 0x04 && b[5] == 0 && b[6] == CMD_HRM_DISCONNECT) {
        length = 22;
        kind = SIM_REQ_HRM_DISCONNECT;
    } else if (b[4] == 0 && b[5] == 0 && b[6] == 0) {
        length = ACK_FRAME_LEN;
        kind = SIM_REQ_CONSOLE_ACK;
    } else {
        DropFront(framer, 1);
        return SIM_REQ_SKIPPED;
    }
    if (framer->count < length) return SIM_REQ_NONE;
    if (FrameCheck(b + 3, (uint32_t)(length - 3)) != 0) {
        // Drop only the 'Q': a real frame may start inside the bad one.
        DropFront(framer, 1);
        return SIM_REQ_BAD_CHECKSUM;
    }
    if (length == SCAN_CONTROL_FRAME_LEN)
        kind = b[10] == 1 ? SIM_REQ_SCAN_START : b[10] == 0 ? SIM_REQ_SCAN_STOP : SIM_REQ_SCAN_OTHER;
    DropFront(framer, length);
    return kind;
}

const char *SimRequestName(int request)
{
    switch (request) {
    case SIM_REQ_NONE: return "none";
    case SIM_REQ_SCAN_START: return "scan start";
    case SIM_REQ_SCAN_STOP: return "scan stop";
    case SIM_REQ_SCAN_OTHER: return "scan control (unknown on byte)";
    case SIM_REQ_CONFIG: return "config request";
    case SIM_REQ_CONSOLE_ACK: return "console ack";
    case SIM_REQ_HRM_LINK: return "HRM link request";
    case SIM_REQ_HRM_DISCONNECT: return "HRM disconnect request";
    case SIM_REQ_BAD_CHECKSUM: return "frame with bad checksum";
    case SIM_REQ_SKIPPED: return "skipped byte";
    default: return "?";
    }
}

uint32_t SimRandom(uint32_t *state)
{
    uint32_t x = *state != 0 ? *state : 0x9E3779B9u;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

int32_t SimRandomRange(uint32_t *state, int32_t low, int32_t high)
{
    uint32_t span = (uint32_t)(high - low) + 1;
    return low + (int32_t)(SimRandom(state) % span);
}

static const char *const kFixedNames[SIM_DEFAULT_MONITORS] = {
    "Qorvessa QH2 04A1", "Polar H10 7C3D2A19", "HRM-Dual 51F0", "CardioStrap 7",
    "Qorvessa Pulse 1B77", "HeartBelt 3E21", "Pulse Belt A", "Optical ArmBand HR 000025",
};
static_assert(sizeof "Optical ArmBand HR 000025" == REG_NAME_LEN + 1, "one name fills the field");

void SimInitMonitors(SimMonitor *monitors, int32_t count, uint32_t seed)
{
    uint32_t random = seed * 2654435761u + 0x6D2B79F5u;
    for (int32_t i = 0; i < count; i++) {
        SimMonitor *m = &monitors[i];
        memset(m, 0, sizeof *m);
        if (i < SIM_DEFAULT_MONITORS)
            snprintf(m->name, sizeof m->name, "%s", kFixedNames[i]);
        else if (i % 3 == 0)
            snprintf(m->name, sizeof m->name, "Qorvessa QH2 %04X", (unsigned)(SimRandom(&random) & 0xFFFF));
        else
            snprintf(m->name, sizeof m->name, "HR Strap %02d", (int)i);
        // The index in the last four digits keeps the addresses distinct.
        snprintf(m->address, sizeof m->address, "%08X%04X", (unsigned)SimRandom(&random), (unsigned)(0xA000 + i));
        m->heartRate = SimRandomRange(&random, 58, 110);
        m->rrInterval = 60000 / m->heartRate;
        m->battery = SimRandomRange(&random, 35, 100);
        m->rssi = SimRandomRange(&random, -90, -40);
    }
}

void SimStepMonitor(SimMonitor *m, uint32_t *random)
{
    m->heartRate += SimRandomRange(random, -3, 3);
    if (m->heartRate < 48) m->heartRate = 48;
    if (m->heartRate > 190) m->heartRate = 190;
    m->rrInterval = 60000 / m->heartRate + SimRandomRange(random, -20, 20);
    m->rssi += SimRandomRange(random, -2, 2);
    if (m->rssi < -95) m->rssi = -95;
    if (m->rssi > -35) m->rssi = -35;
    m->reports++;
    if (m->reports % 40 == 0 && m->battery > 1) m->battery--;
}

int64_t SimLineMicros(int64_t count)
{
    int64_t bits = count * SIM_BITS_PER_BYTE;
    return (bits * 1000000 + SIM_LINE_BAUD - 1) / SIM_LINE_BAUD;
}

int64_t SimPacerEarliest(const SimPacer *pacer, int64_t now)
{
    return now > pacer->freeAt ? now : pacer->freeAt;
}

void SimPacerCommit(SimPacer *pacer, int64_t at, int64_t count)
{
    int64_t start = at > pacer->freeAt ? at : pacer->freeAt;
    pacer->freeAt = start + SimLineMicros(count);
}

int64_t SimReportInterval(double rate)
{
    return (int64_t)llround(1000000.0 / rate);
}
