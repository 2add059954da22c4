// Runs the simulator program on a pty and talks to it as the console does.
#include "sim_core.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Generous: only a bound for a hung simulator, never a measurement.
const int kWaitMs = 15000;

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct Sim {
    pid_t pid = -1;
    int out = -1;  // the program's standard output
    std::string path;
};

// Starts the simulator and waits for the line that names its device.
Sim StartSim(std::vector<std::string> args)
{
    Sim sim;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return sim;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char *> argv;
        argv.push_back((char *)SIM_BINARY);
        for (auto &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(SIM_BINARY, argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    sim.pid = pid;
    sim.out = pipeFds[0];
    std::string line;
    int64_t end = NowMs() + kWaitMs;
    while (NowMs() < end) {
        struct pollfd p = {sim.out, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c;
        if (read(sim.out, &c, 1) != 1) break;
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.rfind("serving ", 0) == 0) {
            sim.path = line.substr(8);
            break;
        }
        line.clear();
    }
    return sim;
}

int StopSim(Sim *sim)
{
    int status = -1;
    if (sim->pid > 0) {
        kill(sim->pid, SIGTERM);
        waitpid(sim->pid, &status, 0);
        sim->pid = -1;
    }
    if (sim->out >= 0) close(sim->out);
    sim->out = -1;
    return status;
}

int OpenPort(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void Send(int fd, const uint8_t *bytes, size_t n)
{
    ASSERT_EQ(write(fd, bytes, n), (ssize_t)n);
}

void SendScan(int fd, int on)
{
    uint8_t f[16], n;
    BuildScanControlFrame(f, on, &n);
    Send(fd, f, n);
}

void SendConfigRequest(int fd)
{
    uint8_t f[16], n;
    BuildConfigRequestFrame(f, &n);
    Send(fd, f, n);
}

// Reads dongle frames from the port: skips bytes until the magic, then takes
// the length the class byte implies (0: acknowledgement, 2: configuration
// data, 4: register device data).
struct FrameReader {
    int fd;
    std::vector<uint8_t> pending;
    size_t skipped = 0;
    explicit FrameReader(int port) : fd(port) {}

    bool Next(std::vector<uint8_t> *frame, int waitMs = kWaitMs)
    {
        int64_t end = NowMs() + waitMs;
        for (;;) {
            while (pending.size() >= 3 && !(pending[0] == 0x51 && pending[1] == 0x52 && pending[2] == 0x4E)) {
                pending.erase(pending.begin());
                skipped++;
            }
            if (pending.size() >= 5) {
                size_t n = pending[4] == 0x00   ? ACK_FRAME_LEN
                           : pending[4] == 0x02 ? CONFIG_DATA_FRAME_LEN
                                                : REGISTER_DATA_FRAME_LEN;
                if (pending.size() >= n) {
                    frame->assign(pending.begin(), pending.begin() + (long)n);
                    pending.erase(pending.begin(), pending.begin() + (long)n);
                    return true;
                }
            }
            int64_t left = end - NowMs();
            if (left <= 0) return false;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, (int)left) <= 0) continue;
            uint8_t buf[512];
            ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) pending.insert(pending.end(), buf, buf + got);
        }
    }
};

bool Valid(const std::vector<uint8_t> &f)
{
    return f.size() > 3 && FrameCheck(f.data() + 3, (uint32_t)(f.size() - 3)) == 0;
}

class SimOnPty : public ::testing::Test {
protected:
    Sim sim;
    int port = -1;
    void Start(std::vector<std::string> args)
    {
        sim = StartSim(args);
        ASSERT_FALSE(sim.path.empty()) << "simulator named no device";
        port = OpenPort(sim.path);
        ASSERT_GE(port, 0) << sim.path << ": " << strerror(errno);
    }
    void TearDown() override
    {
        if (port >= 0) close(port);
        if (sim.pid < 0) return;  // the test stopped it itself
        int status = StopSim(&sim);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
};

TEST_F(SimOnPty, AnswersConfigRequestAndStreamsWhileScanning)
{
    Start({"--name", "Bench Dongle", "--address", "00A0C9123456", "--version", "3.9", "--rate", "100"});
    FrameReader reader(port);
    std::vector<uint8_t> f;

    SendScan(port, 0);
    ASSERT_TRUE(reader.Next(&f));
    ASSERT_EQ(f.size(), (size_t)ACK_FRAME_LEN);
    EXPECT_TRUE(Valid(f));
    EXPECT_NE(f[3], 1);

    SendConfigRequest(port);
    ASSERT_TRUE(reader.Next(&f));
    ASSERT_EQ(f.size(), (size_t)CONFIG_DATA_FRAME_LEN);
    EXPECT_TRUE(Valid(f));
    EXPECT_EQ(std::string((char *)&f[CFG_NAME_OFS], CFG_NAME_LEN), "Bench Dongle");
    EXPECT_EQ(std::string((char *)&f[CFG_ADDR_OFS], CFG_ADDR_LEN), "00A0C9123456");
    EXPECT_EQ(f[CFG_VER_MAJOR_OFS], 3);
    EXPECT_EQ(f[CFG_VER_MINOR_OFS], 9);

    SendScan(port, 1);
    ASSERT_TRUE(reader.Next(&f));
    ASSERT_EQ(f.size(), (size_t)ACK_FRAME_LEN) << "the acknowledgement comes before any report";
    std::vector<std::string> names;
    for (int i = 0; i < 24; i++) {
        ASSERT_TRUE(reader.Next(&f));
        ASSERT_EQ(f.size(), (size_t)REGISTER_DATA_FRAME_LEN);
        EXPECT_TRUE(Valid(f));
        EXPECT_EQ(f[REG_CHECK_OFS], REG_CHECK_HAS_DATA);
        EXPECT_EQ(f[34], FIELD_END);
        EXPECT_EQ(f[47], FIELD_END);
        names.push_back(std::string((char *)&f[REG_NAME_OFS], REG_NAME_LEN).c_str());
    }
    // Eight monitors in turn.
    EXPECT_EQ(names[0], names[8]);
    EXPECT_EQ(names[3], names[19]);
    EXPECT_NE(names[0], names[1]);

    // After the stop acknowledgement nothing more arrives.
    SendScan(port, 0);
    for (;;) {
        ASSERT_TRUE(reader.Next(&f));
        if (f.size() == ACK_FRAME_LEN) break;
    }
    EXPECT_FALSE(reader.Next(&f, 400)) << "report after the stop acknowledgement";
    EXPECT_EQ(reader.skipped, 0u);
}

// Split frames, garbage between them and spoiled copies of every third report:
// a reader that looks for the magic still finds each report, in order.
TEST_F(SimOnPty, FaultsKeepEveryReportFindable)
{
    Start({"--split", "--garbage", "--bad-checksum-every", "3", "--sequence", "--rate", "200", "--max-reports",
           "60", "--monitors", "25"});
    FrameReader reader(port);
    std::vector<uint8_t> f;
    SendScan(port, 1);
    ASSERT_TRUE(reader.Next(&f));
    ASSERT_EQ(f.size(), (size_t)ACK_FRAME_LEN);
    for (int k = 1; k <= 60; k++) {
        // Every third report comes twice: a spoiled copy, then the report.
        for (int copy = k % 3 == 0 ? 0 : 1; copy < 2; copy++) {
            ASSERT_TRUE(reader.Next(&f)) << "report " << k;
            ASSERT_EQ(f.size(), (size_t)REGISTER_DATA_FRAME_LEN);
            EXPECT_EQ(Valid(f), copy == 1) << "report " << k;
            EXPECT_EQ(f[REG_HR_OFS], k);
            EXPECT_EQ(f[REG_BAT_OFS], 0) << "the sequence's high byte";
            EXPECT_EQ(f[REG_RR_OFS] * 256 + f[REG_RR_OFS + 1], k);
        }
    }
    EXPECT_GT(reader.skipped, 0u) << "garbage expected between frames";
    EXPECT_FALSE(reader.Next(&f, 400)) << "more than --max-reports";
}

// Unpaced, the reports come as fast as they are read, each numbered across
// heart rate, battery (high byte) and R-R interval, and the --sent log names
// every one with its monitor once its last byte is written.
TEST_F(SimOnPty, UnpacedSequenceAndSentLog)
{
    std::string sent = "/tmp/tolvane-sim-sent-" + std::to_string(getpid()) + ".txt";
    unlink(sent.c_str());
    const int kReports = 700;
    Start({"--unpaced", "--sequence", "--monitors", "3", "--max-reports", std::to_string(kReports), "--sent", sent});
    FrameReader reader(port);
    std::vector<uint8_t> f;
    SendScan(port, 1);
    ASSERT_TRUE(reader.Next(&f));
    ASSERT_EQ(f.size(), (size_t)ACK_FRAME_LEN);
    for (int k = 1; k <= kReports; k++) {
        ASSERT_TRUE(reader.Next(&f)) << "report " << k;
        ASSERT_EQ(f.size(), (size_t)REGISTER_DATA_FRAME_LEN);
        EXPECT_EQ(f[REG_HR_OFS] + 256 * f[REG_BAT_OFS], k);
        EXPECT_EQ(f[REG_RR_OFS] * 256 + f[REG_RR_OFS + 1], k);
    }
    EXPECT_FALSE(reader.Next(&f, 300)) << "more than --max-reports";
    int status = StopSim(&sim);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    FILE *file = fopen(sent.c_str(), "r");
    ASSERT_NE(file, nullptr);
    long long k = 0, micros = 0, lastMicros = 0;
    int monitor = -1, lines = 0;
    while (fscanf(file, "%lld %d %lld", &k, &monitor, &micros) == 3) {
        lines++;
        EXPECT_EQ(k, lines);
        EXPECT_EQ(monitor, (lines - 1) % 3);
        EXPECT_GE(micros, lastMicros);
        lastMicros = micros;
    }
    fclose(file);
    EXPECT_EQ(lines, kReports);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    EXPECT_LE(lastMicros, (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000) << "Unix time in microseconds";
    EXPECT_GT(lastMicros, (long long)now.tv_sec * 1000000 - 600 * 1000000LL);
    unlink(sent.c_str());
}

TEST_F(SimOnPty, SilentAnswersNothingAndRecordKeepsWhatArrived)
{
    std::string record = "/tmp/tolvane-sim-record-" + std::to_string(getpid()) + ".txt";
    unlink(record.c_str());
    Start({"--silent", "--record", record});
    FrameReader reader(port);
    std::vector<uint8_t> f;
    SendScan(port, 1);
    SendConfigRequest(port);
    EXPECT_FALSE(reader.Next(&f, 600));

    // The record names every byte received, in hexadecimal after a time stamp.
    std::string all;
    int64_t end = NowMs() + kWaitMs;
    while (NowMs() < end) {
        FILE *file = fopen(record.c_str(), "r");
        all.clear();
        if (file != nullptr) {
            char line[512];
            while (fgets(line, sizeof line, file)) {
                char *space = strchr(line, ' ');
                if (space == nullptr) continue;
                double t = 0;
                EXPECT_EQ(sscanf(line, "%lf", &t), 1) << line;
                all += space;
            }
            fclose(file);
        }
        if (all.find(" F9") != std::string::npos) break;
        usleep(20000);
    }
    std::string expected;
    for (int x : {0x51, 0x52, 0x4E, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x96, 0x51, 0x52, 0x4E, 0x01,
                  0x04, 0x00, 0x80, 0x00, 0x01, 0x00, 0xF9}) {
        char hex[8];
        snprintf(hex, sizeof hex, " %02X", x);
        expected += hex;
    }
    std::string bytes;
    for (char c : all)
        if (c != '\n') bytes += c;
    EXPECT_EQ(bytes, expected);
    unlink(record.c_str());
}

// The console closes the port and opens it again: the simulator keeps serving.
TEST_F(SimOnPty, ServesAgainAfterThePortIsReopened)
{
    std::string link = "/tmp/tolvane-sim-link-" + std::to_string(getpid());
    Start({"--link", link});
    char target[512] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.path);

    std::vector<uint8_t> f;
    auto readUntil = [&](FrameReader *reader, size_t length) {
        // Scanning goes on while the port is closed, so reports may come first.
        for (int i = 0; i < 1000; i++) {
            if (!reader->Next(&f)) return false;
            EXPECT_TRUE(Valid(f));
            if (f.size() == length) return true;
        }
        return false;
    };
    for (int round = 0; round < 3; round++) {
        if (port < 0) port = OpenPort(link);
        ASSERT_GE(port, 0);
        FrameReader reader(port);
        SendScan(port, 0);
        ASSERT_TRUE(readUntil(&reader, ACK_FRAME_LEN)) << "round " << round;
        SendConfigRequest(port);
        ASSERT_TRUE(readUntil(&reader, CONFIG_DATA_FRAME_LEN)) << "round " << round;
        SendScan(port, 1);
        ASSERT_TRUE(readUntil(&reader, ACK_FRAME_LEN));
        ASSERT_TRUE(reader.Next(&f));
        EXPECT_EQ(f.size(), (size_t)REGISTER_DATA_FRAME_LEN);
        close(port);
        port = -1;
        usleep(100000);  // let it notice, and stream into nothing for a while
    }
    port = OpenPort(link);
    close(port);
    port = -1;
    int status = StopSim(&sim);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(SimProgram, BadOptionExitsWithMessage)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execl(SIM_BINARY, SIM_BINARY, "--monitors", "0", (char *)nullptr);
        _exit(127);
    }
    close(pipeFds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_NE(text.find("--monitors"), std::string::npos) << text;
}

}  // namespace
