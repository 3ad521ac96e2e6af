// bench_codec: the frame codec under Google Benchmark, with Boost's
// CRC-16/MODBUS (crc_optimal<16, 0x8005, 0xFFFF, 0, true, true>) measured in
// the same run on the same bytes.
//
//   bench_codec                    "key value" lines for bench/run.sh
//   bench_codec --benchmark_...    any Google Benchmark flag; without
//                                  --benchmark_repetitions each figure is the
//                                  median CPU time of 9 interleaved repetitions
//
// Times are CPU time per call in nanoseconds (the machine may be shared;
// CPU time is what the call itself costs).

#include "app/forms.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replydispatcher.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using BoostModbusCrc = boost::crc_optimal<16, 0x8005, 0xFFFF, 0, true, true>;

QByteArray sampleFrame(int size)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char((i * 73 + 5) & 0xFF));
    return bytes;
}

quint16 boostCrc(const QByteArray &bytes)
{
    BoostModbusCrc crc;
    crc.process_bytes(bytes.constData(), size_t(bytes.size()));
    return quint16(crc.checksum());
}

// Our CRC and Boost's agree on every length from 0 to 300 bytes, on random
// contents (a fixed seed, so every run checks the same frames).
bool crcAgreesWithBoost()
{
    std::mt19937 random(20261207);
    for (int size = 0; size <= 300; ++size) {
        for (int round = 0; round < 20; ++round) {
            QByteArray bytes(size, Qt::Uninitialized);
            for (char &b : bytes)
                b = char(random() & 0xFF);
            if (ModbusCrc16(bytes) != boostCrc(bytes))
                return false;
        }
    }
    return true;
}

void BM_ModbusCrc16(benchmark::State &state)
{
    const QByteArray bytes = sampleFrame(int(state.range(0)));
    if (ModbusCrc16(bytes) != boostCrc(bytes))
        state.SkipWithError("CRC differs from Boost");
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes.constData());
        benchmark::DoNotOptimize(ModbusCrc16(bytes));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_BoostCrc16Modbus(benchmark::State &state)
{
    const QByteArray bytes = sampleFrame(int(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes.constData());
        benchmark::DoNotOptimize(boostCrc(bytes));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Ours and Boost's side by side for each frame size: 8 (a request), 15 (a
// status reply), 256 (a Modbus RTU frame's largest size).
BENCHMARK(BM_ModbusCrc16)->Arg(8);
BENCHMARK(BM_BoostCrc16Modbus)->Arg(8);
BENCHMARK(BM_ModbusCrc16)->Arg(15);
BENCHMARK(BM_BoostCrc16Modbus)->Arg(15);
BENCHMARK(BM_ModbusCrc16)->Arg(256);
BENCHMARK(BM_BoostCrc16Modbus)->Arg(256);

void BM_BuildStatusPoll(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(BuildReadRequest(1, VoltageSetpoint, 5));
}
BENCHMARK(BM_BuildStatusPoll);

void BM_BuildWriteSingle(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(BuildWriteSingle(1, VoltageSetpoint, 1234));
}
BENCHMARK(BM_BuildWriteSingle);

void BM_BuildSetpointPair(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(BuildWriteRequest(1, VoltageSetpoint, {1234, 2500}));
}
BENCHMARK(BM_BuildSetpointPair);

// A status reply as the monitor gets it every 500 ms: two alternating
// readings, so that every call really rewrites the readouts' texts.
void BM_DispatchStatusReply(benchmark::State &state)
{
    QByteArray replies[2] = {QByteArray::fromHex("01030a04b003e804ad03e50001"),
                             QByteArray::fromHex("01030a04b003e804b103e70001")};
    AppendCrc(replies[0]);
    AppendCrc(replies[1]);
    int k = 0;
    for (auto _ : state) {
        DispatchReply(replies[k]);
        k ^= 1;
    }
}
BENCHMARK(BM_DispatchStatusReply);

void BM_DispatchIgnoredReply(benchmark::State &state)
{
    const QByteArray reply = QByteArray::fromHex("0183020000");
    for (auto _ : state)
        DispatchReply(reply);
}
BENCHMARK(BM_DispatchIgnoredReply);

// Keeps the median of each benchmark's repetitions (or its single run).
class MedianCollector : public benchmark::BenchmarkReporter
{
public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &report) override
    {
        for (const Run &run : report) {
            if (run.error_occurred) {
                failed = true;
                continue;
            }
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median")
                    ns[name] = run.GetAdjustedCPUTime();
            } else if (!ns.count(name) || run.repetitions <= 1) {
                ns[name] = run.GetAdjustedCPUTime();
            }
        }
    }
    std::map<std::string, double> ns;
    bool failed = false;
};

void print(const std::string &key, double value)
{
    std::printf("%s %.3f\n", key.c_str(), value);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CreateForms();
    SelectModel(1);

    std::vector<char *> args(argv, argv + argc);
    bool repetitionsGiven = false;
    for (int i = 1; i < argc; ++i)
        repetitionsGiven |= std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0;
    std::string repetitions = "--benchmark_repetitions=9";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string minTime = "--benchmark_min_time=0.05";
    if (!repetitionsGiven) {
        args.push_back(repetitions.data());
        args.push_back(interleave.data());
        args.push_back(minTime.data());
    }
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    print("crc_same_as_boost", crcAgreesWithBoost() ? 1 : 0);
    for (const char *size : {"8", "15", "256"}) {
        const double ours = collector.ns["BM_ModbusCrc16/" + std::string(size)];
        const double boost = collector.ns["BM_BoostCrc16Modbus/" + std::string(size)];
        print(std::string("crc_ours_ns_") + size, ours);
        print(std::string("crc_boost_ns_") + size, boost);
    }
    print("build_status_poll_ns", collector.ns["BM_BuildStatusPoll"]);
    print("build_write_single_ns", collector.ns["BM_BuildWriteSingle"]);
    print("build_setpoint_pair_ns", collector.ns["BM_BuildSetpointPair"]);
    print("dispatch_status_ns", collector.ns["BM_DispatchStatusReply"]);
    print("dispatch_ignored_ns", collector.ns["BM_DispatchIgnoredReply"]);
    return collector.failed ? 1 : 0;
}
