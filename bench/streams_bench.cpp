// WAV writer and reader throughput beside plain write(2)/read(2) of the same bytes, and the
// tone generator's real-time factor at 32 kHz.  Prints each engine figure and its anchor's
// from the same run, and their ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "framework/Format.h"
#include "platform/Platform.h"
#include "streams/RIFFAudioIn.h"
#include "streams/RIFFAudioOut.h"
#include "streams/WaveGeneratorAudioIn.h"

namespace {

constexpr int kBlockBytes = 640;             // 10 ms of 32 kHz mono 16-bit
constexpr int kBlocksPerRun = 16000;         // 10 MB per iteration
const std::string kPath = "/tmp/zelmar-streams-bench.wav";
const std::string kPlainPath = "/tmp/zelmar-streams-bench.raw";

void WavWriter(benchmark::State& state) {
    std::vector<char> block(kBlockBytes, 0x11);
    const WAVEFORMATEX format = zelmar::MakePcmFormat(32000, 1, 16);
    for (auto _ : state) {
        zelmar::CRIFFAudioOut writer;
        writer.SetProperty("Filename", 0, const_cast<char*>(kPath.c_str()));
        writer.SetProperty("WaveFormat", 0, const_cast<WAVEFORMATEX*>(&format));
        writer.Start();
        for (int i = 0; i < kBlocksPerRun; ++i) writer.PutData(block.data(), kBlockBytes);
        writer.Stop();
    }
    state.SetBytesProcessed(state.iterations() * kBlocksPerRun * kBlockBytes);
}

void PlainWrite(benchmark::State& state) {
    std::vector<char> block(kBlockBytes, 0x11);
    for (auto _ : state) {
        ::unlink(kPlainPath.c_str());
        const int fd = ::open(kPlainPath.c_str(), O_RDWR | O_CREAT, 0644);
        char header[46] = {};
        benchmark::DoNotOptimize(::write(fd, header, sizeof header));
        for (int i = 0; i < kBlocksPerRun; ++i) benchmark::DoNotOptimize(::write(fd, block.data(), kBlockBytes));
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kBlocksPerRun * kBlockBytes);
}

void WavReader(benchmark::State& state) {
    std::vector<char> block(kBlockBytes);
    zelmar::CRIFFAudioIn reader;
    reader.SetProperty("Filename", 0, const_cast<char*>(kPath.c_str()));
    if (reader.Build() != 0) {
        state.SkipWithError("run the writer benchmark first");
        return;
    }
    for (auto _ : state) {
        reader.Start();
        for (int i = 0; i < kBlocksPerRun; ++i) reader.GetData(block.data(), kBlockBytes);
        reader.Stop();
    }
    state.SetBytesProcessed(state.iterations() * kBlocksPerRun * kBlockBytes);
}

void PlainRead(benchmark::State& state) {
    std::vector<char> block(kBlockBytes);
    for (auto _ : state) {
        const int fd = ::open(kPath.c_str(), O_RDONLY);
        ::lseek(fd, 46, SEEK_SET);
        for (int i = 0; i < kBlocksPerRun; ++i) benchmark::DoNotOptimize(::read(fd, block.data(), kBlockBytes));
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kBlocksPerRun * kBlockBytes);
}

// The generator on a virtual clock, so its pacing costs no wall time: what remains is the
// tone computation, reported as seconds of audio per second of CPU.
void Generator32k(benchmark::State& state) {
    zelmar::platform::VirtualTimeService time(/*autoAdvance=*/true);
    zelmar::platform::Services services{};
    services.time = &time;
    zelmar::platform::ScopedPlatform scope(services);
    zelmar::CWaveGeneratorAudioIn generator;
    generator.SetProperty("SamplesPerSec", 32000, nullptr);
    generator.SetProperty("BlockSamples", 320, nullptr);
    generator.Build();
    generator.Start();
    std::vector<int16_t> block(320);
    int64_t samples = 0;
    for (auto _ : state) {
        generator.GetData(block.data(), 640);
        samples += 320;
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(samples) / 32000.0, benchmark::Counter::kIsRate);
}

BENCHMARK(WavWriter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(WavReader)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Generator32k);

// Collects the medians and prints the side-by-side table after the run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            const std::string name = run.benchmark_name();
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            const std::string base = name.substr(0, name.find_first_of("/_"));
            auto bytes = run.counters.find("bytes_per_second");
            if (bytes != run.counters.end()) mbPerSecond_[base] = bytes->second.value / 1e6;
            auto rt = run.counters.find("x_realtime");
            if (rt != run.counters.end()) realtime_ = rt->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto ratio = [&](const char* engine, const char* anchor) {
            const double a = mbPerSecond_[anchor];
            std::printf("%-10s %8.0f MB/s   %-10s %8.0f MB/s   ratio %.2f\n", engine, mbPerSecond_[engine], anchor, a,
                        a > 0 ? mbPerSecond_[engine] / a : 0.0);
        };
        std::printf("\nWAV components beside plain system calls (same bytes, same run, median):\n");
        ratio("WavWriter", "PlainWrite");
        ratio("WavReader", "PlainRead");
        std::printf("tone generator at 32 kHz: %.0fx real time\n", realtime_);
    }

private:
    std::map<std::string, double> mbPerSecond_;
    double realtime_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::remove(kPath.c_str());
    std::remove(kPlainPath.c_str());
    return 0;
}
