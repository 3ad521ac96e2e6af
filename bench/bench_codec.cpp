#include "app/forms.h"
#include "link/frames.h"
#include "link/replydispatcher.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

namespace {

QByteArray sampleFrame(int size)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char((i * 73 + 5) & 0xFF));
    return bytes;
}

quint16 boostCrc(const QByteArray &bytes)
{
    boost::crc_optimal<16, 0x8005, 0xFFFF, 0, true, true> crc;
    crc.process_bytes(bytes.constData(), size_t(bytes.size()));
    return quint16(crc.checksum());
}

void BM_ModbusCrc16(benchmark::State &state)
{
    const QByteArray bytes = sampleFrame(int(state.range(0)));
    if (ModbusCrc16(bytes) != boostCrc(bytes))
        state.SkipWithError("CRC differs from Boost");
    for (auto _ : state)
        benchmark::DoNotOptimize(ModbusCrc16(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ModbusCrc16)->Arg(8)->Arg(15)->Arg(256);

void BM_BoostCrc16Modbus(benchmark::State &state)
{
    const QByteArray bytes = sampleFrame(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(boostCrc(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BoostCrc16Modbus)->Arg(8)->Arg(15)->Arg(256);

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

void BM_DispatchStatusReply(benchmark::State &state)
{
    QByteArray reply = QByteArray::fromHex("01030a04d209c404d009c00001");
    AppendCrc(reply);
    for (auto _ : state)
        DispatchReply(reply);
}
BENCHMARK(BM_DispatchStatusReply);

void BM_DispatchIgnoredReply(benchmark::State &state)
{
    const QByteArray reply = QByteArray::fromHex("0183020000");
    for (auto _ : state)
        DispatchReply(reply);
}
BENCHMARK(BM_DispatchIgnoredReply);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CreateForms();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
