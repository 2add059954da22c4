// Throughput of the checksum and of the receiver's framer and dispatch on a
// stream of register reports, in bytes per second. The line carries 11,520
// bytes a second at 115200 baud 8N1: about 209 register reports.
#include "qrn_frame.h"
#include "rx_core.h"
#include "sim_core.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <vector>

namespace {

std::vector<uint8_t> RegisterReport(int monitor, int sequence)
{
    char name[32];
    snprintf(name, sizeof name, "Qorvessa HR %02d", monitor);
    char addr[16];
    snprintf(addr, sizeof addr, "C0FFEE0000%02X", monitor);
    std::vector<uint8_t> f(SIM_MAX_FRAME_LEN);
    f.resize((size_t)BuildRegisterDeviceFrame(f.data(), name, addr, 1, -60, (uint8_t)(60 + sequence % 100), 812, 90));
    return f;
}

std::vector<uint8_t> Stream(int reports)
{
    std::vector<uint8_t> s;
    for (int i = 0; i < reports; ++i) {
        std::vector<uint8_t> f = RegisterReport(i % 20, i);
        s.insert(s.end(), f.begin(), f.end());
    }
    return s;
}

struct Counts {
    int handled;
};
void Log(void *, const char *) {}
void SetText(void *, const char *) {}
void Clear(void *) {}
int Register(void *, const char *, const char *address)
{
    return (address[10] - '0') * 16 % 20;
}
void Post(void *, int) {}
void Caption(void *c, int, int32_t, int32_t, int32_t) { ++((Counts *)c)->handled; }

void BM_FrameCheck(benchmark::State &state)
{
    std::vector<uint8_t> f = RegisterReport(1, 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(FrameCheck(&f[3], 52));
    state.SetBytesProcessed(state.iterations() * 52);
}
BENCHMARK(BM_FrameCheck);

void BM_ReceiverStream(benchmark::State &state)
{
    std::vector<uint8_t> s = Stream(1000);
    Counts counts = {0};
    RxSink sink = {&counts, Log, Log, SetText, SetText, Clear, Register, Post, Caption};
    std::atomic<uint8_t> armed{1};
    std::atomic<int32_t> active{1}, pending{0};
    RxFlags flags = {&armed, &active, &pending};
    static RxState st;
    for (auto _ : state) {
        RxInit(&st);
        for (size_t off = 0; off < s.size(); off += RX_READ_MAX) {
            size_t n = s.size() - off < RX_READ_MAX ? s.size() - off : RX_READ_MAX;
            RxHandleRead(&st, &s[off], (uint32_t)n, &flags, &sink);
        }
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)s.size());
    state.counters["reports/s"] =
        benchmark::Counter((double)state.iterations() * 1000, benchmark::Counter::kIsRate);
    state.counters["line reports/s"] = 11520.0 / REGISTER_DATA_FRAME_LEN;
}
BENCHMARK(BM_ReceiverStream);

} // namespace

BENCHMARK_MAIN();
