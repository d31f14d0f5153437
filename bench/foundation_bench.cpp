// Benchmarks of the foundation helpers on paths that see bulk data: Base64 of key material sent
// to and from the console, transaction-log parsing (date/time and field splitting) and the log
// line time stamp.
#include <oozaf/time.h>
#include <oozaf/util.h>

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

using oozaf::CZAFTime;
using oozaf::CZAFUtil;

namespace {

std::string pseudoRandomBytes(std::size_t size) {
    std::string bytes(size, '\0');
    unsigned int state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

void BM_Base64Encode(benchmark::State& state) {
    const std::string input = pseudoRandomBytes(static_cast<std::size_t>(state.range(0)));
    std::string out;
    for (auto _ : state)
        benchmark::DoNotOptimize(CZAFUtil::Base64Encode(input, out));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(1 << 10)->Arg(1 << 20);

void BM_Base64Decode(benchmark::State& state) {
    std::string encoded;
    CZAFUtil::Base64Encode(pseudoRandomBytes(static_cast<std::size_t>(state.range(0))), encoded);
    std::string out;
    for (auto _ : state)
        benchmark::DoNotOptimize(CZAFUtil::Base64Decode(encoded, out));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode)->Arg(1 << 10)->Arg(1 << 20);

void BM_ParseDateTime(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.250"));
}
BENCHMARK(BM_ParseDateTime);

void BM_FormatDateTime(benchmark::State& state) {
    const CZAFTime t = CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.250");
    for (auto _ : state)
        benchmark::DoNotOptimize(t.formatYMDHMSMs(false));
}
BENCHMARK(BM_FormatDateTime);

void BM_SplitLogLine(benchmark::State& state) {
    const std::string line = "2004-01-05 10:20:30.250\t2004-01-05 10:20:31.7\tjdoe\tencrypt\t"
                             "--encrypt \"report 2004.txt\" --recipient jdoe\t0";
    std::vector<std::string> fields;
    for (auto _ : state) {
        CZAFUtil::delimParse(line, "\t", false, fields);
        benchmark::DoNotOptimize(fields.data());
    }
}
BENCHMARK(BM_SplitLogLine);

void BM_LocalTimeString(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(CZAFUtil::localTimeString());
}
BENCHMARK(BM_LocalTimeString);

} // namespace
