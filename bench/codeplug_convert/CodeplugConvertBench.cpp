// Conversion 5.8 -> 5.10 of large codeplugs with many blocks, as the updater
// runs it after an update (goal: well under 1 ms).

#include "codeplug/CodeplugConvert.h"
#include "codeplug/QUVParmsFormat59510.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

// 15 systems of kinds 0, 1, 3, 4 and 5 and `lists` list blocks, every used
// table holding `records` records.
struct Image {
    std::vector<uint8_t> wire;
    int byteCount = 0;
    std::vector<uint16_t> words;
};

Image MakeImage(int lists, int records)
{
    const codeplugtest::CodeplugBuilder builder
        = codeplugtest::TypicalCodeplug(8, 3, lists, records);
    Image image;
    image.wire = builder.BuildWire();
    image.byteCount = static_cast<int>(image.wire.size());
    image.wire.resize(kCodeplugBytes, 0);
    image.words = builder.Build();
    return image;
}

// The whole routine of the post-update sequence on the wire-form buffer:
// decode, validate, convert, 5.10 defaults, encode.
void BM_ConvertCodeplugImage58To510(benchmark::State& state)
{
    const Image image
        = MakeImage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::vector<uint8_t> buffer(kCodeplugBytes);
    int newLength = 0;
    for (auto _ : state) {
        std::memcpy(buffer.data(), image.wire.data(), buffer.size());
        std::string error;
        const CodeplugConvertOutcome outcome
            = ConvertCodeplugImage(buffer.data(), image.byteCount, 5, 10, newLength, error);
        if (outcome != CodeplugConvertOutcome::Converted) {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["bytes_in"] = image.byteCount;
    state.counters["bytes_out"] = newLength;
    state.counters["blocks"] = 1 + 4 + 15 + static_cast<double>(state.range(0));
}

// The conversion chain alone on host-order words.
void BM_ConvertChain58To510(benchmark::State& state)
{
    const Image image
        = MakeImage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::vector<uint16_t> words(kCodeplugWords);
    for (auto _ : state) {
        std::memcpy(words.data(), image.words.data(), words.size() * 2);
        CodeplugImage view(words.data());
        int32_t change = 0;
        if (!ConvertCodeplugUp(view, kFormatIndex58, kFormatIndex510, change)
            || !ApplyFormat510Defaults(view)) {
            state.SkipWithError(view.FaultReason().c_str());
            break;
        }
        benchmark::DoNotOptimize(words.data());
    }
}

} // namespace

// (list blocks, records per table): 49842 -> 53626 bytes, 55186 -> 62862 bytes.
BENCHMARK(BM_ConvertCodeplugImage58To510)
    ->Args({ 54, 3 })
    ->Args({ 20, 7 })
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConvertChain58To510)->Args({ 54, 3 })->Args({ 20, 7 })->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
