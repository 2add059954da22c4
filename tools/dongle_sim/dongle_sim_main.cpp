// tolvane-dongle-sim: answers the console on a pty (or a given tty) the way
// the dongle does. See --help; the logic lives in sim_core.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "sim_core.h"

#define PIECE_MAX 64
#define QUEUE_MAX 256
// A paced piece may go to the pty this much before the line is free, so the
// wake-up's lateness does not leave the line idle; the pty holds the bytes.
#define WRITE_AHEAD_MICROS 2000

// One run of bytes written in one go; a frame is one piece, or several with --split.
struct OutPiece {
    uint8_t bytes[PIECE_MAX];
    int32_t length;
    int32_t written;    // bytes of this piece already on the line
    int64_t gapMicros;  // quiet time before the piece
    int32_t frameId;
    int32_t isReport;
    int64_t sequence;   // the last piece of register report k holds k; else 0
    int32_t monitor;    // that report's monitor
};

// All state belongs to the single thread of the program; the signal
// handler only sets stopRequested.
static volatile sig_atomic_t stopRequested = 0;
static SimOptions options;
static OutPiece outQueue[QUEUE_MAX];
static int32_t outCount = 0;
static int32_t nextFrameId = 1;
static SimPacer pacer = {0};
static uint32_t randomState = 1;
static SimMonitor monitors[SIM_MAX_MONITORS];
static int64_t startMicros = 0;
static FILE *recordFile = nullptr;
static FILE *sentFile = nullptr;
static char linkMade[SIM_PATH_SIZE];

static int64_t NowMicros(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static int64_t UnixMicros(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static void OnSignal(int)
{
    stopRequested = 1;
}

static void Log(const char *format, const char *text)
{
    if (!options.verbose) return;
    fprintf(stderr, "[%9.3f] ", (double)(NowMicros() - startMicros) / 1e6);
    fprintf(stderr, format, text);
    fputc('\n', stderr);
}

static void MakeRaw(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) return;  // not a tty: nothing to set
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
}

static bool PushPiece(const uint8_t *bytes, int32_t length, int64_t gap, int32_t frameId, int32_t isReport)
{
    if (outCount == QUEUE_MAX) {
        fprintf(stderr, "tolvane-dongle-sim: output queue full, frame dropped\n");
        return false;
    }
    OutPiece *p = &outQueue[outCount++];
    memcpy(p->bytes, bytes, (size_t)length);
    p->length = length;
    p->written = 0;
    p->gapMicros = gap;
    p->frameId = frameId;
    p->isReport = isReport;
    p->sequence = 0;
    p->monitor = 0;
    return true;
}

// sequence > 0 marks register report k of monitor, for the --sent log.
static void QueueFrame(const uint8_t *frame, int32_t length, int32_t isReport, int64_t sequence = 0,
                       int32_t monitor = 0)
{
    int32_t id = nextFrameId++;
    if (outCount + length + 1 > QUEUE_MAX) {
        fprintf(stderr, "tolvane-dongle-sim: output queue full, frame dropped\n");
        return;
    }
    if (options.garbage) {
        uint8_t junk[8];
        int32_t n = SimRandomRange(&randomState, 1, 8);
        for (int32_t i = 0; i < n; i++) {
            uint8_t b;
            do {
                b = (uint8_t)SimRandom(&randomState);
            } while (b == QRN_MAGIC_0 || b == QRN_MAGIC_1 || b == QRN_MAGIC_2);
            junk[i] = b;
        }
        PushPiece(junk, n, 0, id, isReport);
    }
    if (!options.split) {
        if (PushPiece(frame, length, 0, id, isReport)) {
            outQueue[outCount - 1].sequence = sequence;
            outQueue[outCount - 1].monitor = monitor;
        }
        return;
    }
    int32_t offset = 0;
    while (offset < length) {
        int32_t left = length - offset;
        int32_t n = SimRandomRange(&randomState, 1, left < 16 ? left : 16);
        int64_t gap = offset == 0 ? 0 : SimRandomRange(&randomState, 1000, 4000);
        if (PushPiece(frame + offset, n, gap, id, isReport) && offset + n == length) {
            outQueue[outCount - 1].sequence = sequence;
            outQueue[outCount - 1].monitor = monitor;
        }
        offset += n;
    }
}

// Drops queued reports that have not started on the line; a frame already
// begun is finished so that the stream stays well formed.
static void DropPendingReports(void)
{
    int32_t startedId = outCount > 0 && outQueue[0].written > 0 ? outQueue[0].frameId : 0;
    int32_t kept = 0;
    for (int32_t i = 0; i < outCount; i++) {
        if (outQueue[i].isReport && outQueue[i].frameId != startedId) continue;
        outQueue[kept++] = outQueue[i];
    }
    outCount = kept;
}

// When the piece may be written: a piece that continues the line's stream may
// go a little ahead of it; one after a --split gap waits out its gap.
static int64_t PieceDue(const OutPiece *p)
{
    if (p->written > 0) return pacer.freeAt - WRITE_AHEAD_MICROS;
    if (p->gapMicros == 0) return pacer.freeAt - WRITE_AHEAD_MICROS;
    return pacer.freeAt + p->gapMicros;
}

static bool ReportQueued(void)
{
    for (int32_t i = 0; i < outCount; i++)
        if (outQueue[i].isReport) return true;
    return false;
}

static void Record(const uint8_t *bytes, ssize_t count)
{
    if (recordFile == nullptr) return;
    fprintf(recordFile, "%.6f", (double)(NowMicros() - startMicros) / 1e6);
    for (ssize_t i = 0; i < count; i++) fprintf(recordFile, " %02X", bytes[i]);
    fputc('\n', recordFile);
    fflush(recordFile);
}

static void RemoveLink(void)
{
    if (linkMade[0] == '\0') return;
    unlink(linkMade);
    linkMade[0] = '\0';
}

static int OpenServedDevice(char *path, size_t pathSize)
{
    if (options.device[0] != '\0') {
        int fd = open(options.device, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            fprintf(stderr, "tolvane-dongle-sim: cannot open %s: %s\n", options.device, strerror(errno));
            return -1;
        }
        MakeRaw(fd);
        snprintf(path, pathSize, "%s", options.device);
        return fd;
    }
    int master = -1, slave = -1;
    char name[SIM_PATH_SIZE];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        fprintf(stderr, "tolvane-dongle-sim: openpty failed: %s\n", strerror(errno));
        return -1;
    }
    // The line settings live with the pty as long as the master is open,
    // so raw mode set here holds for every later opening of the slave.
    MakeRaw(slave);
    MakeRaw(master);
    close(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    snprintf(path, pathSize, "%s", name);
    return master;
}

static bool MakeLink(const char *target)
{
    struct stat st;
    if (lstat(options.link, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            fprintf(stderr, "tolvane-dongle-sim: --link %s exists and is not a symlink\n", options.link);
            return false;
        }
        unlink(options.link);
    }
    if (symlink(target, options.link) != 0) {
        fprintf(stderr, "tolvane-dongle-sim: cannot make link %s: %s\n", options.link, strerror(errno));
        return false;
    }
    snprintf(linkMade, sizeof linkMade, "%s", options.link);
    return true;
}

int main(int argc, char **argv)
{
    char error[256];
    int parsed = ParseSimOptions(argc, argv, &options, error, sizeof error);
    if (parsed == SIM_PARSE_HELP) {
        fputs(SimUsageText(), stdout);
        return 0;
    }
    if (parsed != SIM_PARSE_OK) {
        fprintf(stderr, "tolvane-dongle-sim: %s\n", error);
        return 2;
    }
    startMicros = NowMicros();
    randomState = options.seed * 747796405u + 2891336453u;
    SimInitMonitors(monitors, options.monitors, options.seed);

    if (options.sent[0] != '\0') {
        sentFile = fopen(options.sent, "a");
        if (sentFile == nullptr) {
            fprintf(stderr, "tolvane-dongle-sim: cannot open --sent %s: %s\n", options.sent, strerror(errno));
            return 1;
        }
        setvbuf(sentFile, nullptr, _IOFBF, 1 << 16);
    }
    if (options.record[0] != '\0') {
        recordFile = fopen(options.record, "a");
        if (recordFile == nullptr) {
            fprintf(stderr, "tolvane-dongle-sim: cannot open --record %s: %s\n", options.record, strerror(errno));
            return 1;
        }
    }

    char path[SIM_PATH_SIZE];
    int fd = OpenServedDevice(path, sizeof path);
    if (fd < 0) return 1;
    if (options.link[0] != '\0' && !MakeLink(path)) return 1;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("serving %s\n", path);
    if (linkMade[0] != '\0') printf("linked %s -> %s\n", linkMade, path);
    fflush(stdout);

    SimRxFramer framer;
    SimRxReset(&framer);
    int scanning = 0;
    int connected = 1;
    int wantWrite = 0;
    int64_t reportsSent = 0;
    int32_t nextMonitor = 0;
    int64_t interval = SimReportInterval(options.rate);
    int64_t nextReportAt = 0;

    while (!stopRequested) {
        int64_t now = NowMicros();

        if (scanning && !options.silent && connected && (options.unpaced || now >= nextReportAt) && !ReportQueued() &&
            (options.maxReports < 0 || reportsSent < options.maxReports)) {
            int32_t monitorIndex = nextMonitor;
            SimMonitor *m = &monitors[nextMonitor];
            nextMonitor = (nextMonitor + 1) % options.monitors;
            SimStepMonitor(m, &randomState);
            reportsSent++;
            uint8_t heartRate = (uint8_t)m->heartRate;
            uint16_t rr = (uint16_t)m->rrInterval;
            uint8_t battery = (uint8_t)m->battery;
            if (options.sequence) {
                heartRate = (uint8_t)(reportsSent & 0xFF);
                battery = (uint8_t)((reportsSent >> 8) & 0xFF);
                rr = (uint16_t)(reportsSent & 0xFFFF);
            }
            uint8_t frame[SIM_MAX_FRAME_LEN];
            int32_t n =
                BuildRegisterDeviceFrame(frame, m->name, m->address, 1, (int8_t)m->rssi, heartRate, rr, battery);
            if (options.badChecksumEvery > 0 && reportsSent % options.badChecksumEvery == 0) {
                // A spoiled copy goes first and the report itself still
                // follows, so every monitor keeps being heard whatever N is.
                uint8_t spoiled[SIM_MAX_FRAME_LEN];
                memcpy(spoiled, frame, (size_t)n);
                spoiled[n - 1] ^= 0x5A;
                QueueFrame(spoiled, n, 1);
            }
            QueueFrame(frame, n, 1, reportsSent, monitorIndex);
            if (options.maxReports >= 0 && reportsSent == options.maxReports)
                Log("%s", "max reports sent; no more reports");
            nextReportAt += interval;
            // After a stall (port closed, line saturated) do not burst to catch up.
            if (nextReportAt < now - interval) nextReportAt = now;
        }

        // When may the head piece go out?
        // While the pty is full (wantWrite) the poll waits for room instead.
        int64_t headAt = -1;
        if (outCount > 0 && !wantWrite) {
            headAt = options.unpaced ? now : PieceDue(&outQueue[0]);
            if (headAt < now) headAt = now;
        }
        int64_t wakeAt = now + 100000;
        if (headAt >= 0 && headAt < wakeAt) wakeAt = headAt;
        if (scanning && !ReportQueued() && nextReportAt < wakeAt) wakeAt = nextReportAt;
        int timeout = wakeAt <= now ? 0 : (int)((wakeAt - now + 999) / 1000);

        struct pollfd pfd;
        pfd.fd = fd;
        pfd.events = (short)(POLLIN | (wantWrite ? POLLOUT : 0));
        pfd.revents = 0;
        int ready = poll(&pfd, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "tolvane-dongle-sim: poll: %s\n", strerror(errno));
            break;
        }

        if (!(pfd.revents & (POLLHUP | POLLERR)) && !connected) {
            Log("%s", "port opened");
            connected = 1;
        }
        if (pfd.revents & POLLIN) {
            uint8_t buffer[4096];
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) {
                Record(buffer, got);
                for (ssize_t i = 0; i < got; i++) {
                    SimRxAdd(&framer, buffer[i]);
                    int request;
                    while ((request = SimRxNext(&framer)) != SIM_REQ_NONE) {
                        if (request != SIM_REQ_SKIPPED) Log("got %s", SimRequestName(request));
                        if (options.silent) continue;
                        uint8_t frame[SIM_MAX_FRAME_LEN];
                        if (request == SIM_REQ_SCAN_START || request == SIM_REQ_SCAN_STOP ||
                            request == SIM_REQ_SCAN_OTHER) {
                            QueueFrame(frame, BuildDongleAckFrame(frame), 0);
                            if (request == SIM_REQ_SCAN_START && !scanning) {
                                scanning = 1;
                                nextReportAt = NowMicros() + SimLineMicros(ACK_FRAME_LEN);
                            } else if (request == SIM_REQ_SCAN_STOP) {
                                scanning = 0;
                                DropPendingReports();
                            }
                        } else if (request == SIM_REQ_CONFIG) {
                            QueueFrame(frame,
                                       BuildDongleConfigFrame(frame, options.name, options.address,
                                                              options.versionMajor, options.versionMinor),
                                       0);
                        }
                    }
                }
            } else if (got == 0 || (got < 0 && errno == EIO)) {
                pfd.revents |= POLLHUP;
            }
        }
        if ((pfd.revents & (POLLHUP | POLLERR)) && !(pfd.revents & POLLIN)) {
            // No one has the other end open. A pty master keeps reporting
            // this until the slave is opened again, so poll slowly, and
            // throw away what nobody will read.
            if (connected) Log("%s", "port closed");
            connected = 0;
            outCount = 0;
            wantWrite = 0;
            SimRxReset(&framer);
            poll(nullptr, 0, 20);
            continue;
        }

        // Write what is due, never faster than the line carries.
        wantWrite = 0;
        while (outCount > 0) {
            now = NowMicros();
            OutPiece *p = &outQueue[0];
            if (!options.unpaced && PieceDue(p) > now) break;
            ssize_t put = write(fd, p->bytes + p->written, (size_t)(p->length - p->written));
            if (put < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    wantWrite = 1;
                } else if (errno == EIO) {
                    connected = 0;
                    outCount = 0;
                } else if (errno != EINTR) {
                    fprintf(stderr, "tolvane-dongle-sim: write: %s\n", strerror(errno));
                    outCount = 0;
                }
                break;
            }
            SimPacerCommit(&pacer, now, put);
            p->written += (int32_t)put;
            if (p->written == p->length && p->sequence > 0 && sentFile != nullptr)
                fprintf(sentFile, "%lld %d %lld\n", (long long)p->sequence, (int)p->monitor, (long long)UnixMicros());
            if (p->written == p->length) {
                outCount--;
                memmove(&outQueue[0], &outQueue[1], sizeof(OutPiece) * (size_t)outCount);
            }
        }
    }

    RemoveLink();
    if (recordFile != nullptr) fclose(recordFile);
    if (sentFile != nullptr) fclose(sentFile);
    close(fd);
    return 0;
}
