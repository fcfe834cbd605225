// Beam search over one plate's network output: 48 steps of 37 values, laid out as the plate reader
// hands them over (column 0 the search's blank at probability 0, columns 1..36 the alphabet with the
// space, the network's own blank, last). Reported time is per plate, one thread.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "ctcdecode/ctc_beam_search_decoder.h"

namespace {

constexpr std::size_t kSteps = 48;
constexpr std::size_t kRow = 37;
constexpr std::size_t kSpace = kRow - 1;
const std::string kAlphabet = "0123456789ABCDEFGHIJKLMNPQRSTUVWXYZ ";

class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    double uniform() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
    }

  private:
    std::uint64_t state_;
};

// `peak` is the logit lead of each step's intended symbol: 6 gives ~0.9 probability to it, like a
// confident reader; 0 gives a flat, unreadable output.
std::vector<std::vector<float>> plate_output(double peak) {
    const std::string plate = "AB123CD";
    Random random(2024);
    std::vector<std::vector<float>> steps(kSteps, std::vector<float>(kRow, 0.0f));
    for (std::size_t t = 0; t < kSteps; ++t) {
        // Spaces around and between the characters; each character lasts two or three steps.
        const std::size_t slot = t / 6;
        const bool on_char = slot < plate.size() && t % 6 >= 2 && t % 6 < 5;
        const std::size_t intended = on_char ? kAlphabet.find(plate[slot]) + 1 : kSpace;
        std::vector<double> logits(kRow - 1);
        for (double& logit : logits) {
            logit = 2.0 * random.uniform();
        }
        logits[intended - 1] += peak;
        const double top = *std::max_element(logits.begin(), logits.end());
        double sum = 0.0;
        for (double& logit : logits) {
            logit = std::exp(logit - top);
            sum += logit;
        }
        for (std::size_t x = 1; x < kRow; ++x) {
            steps[t][x] = static_cast<float>(logits[x - 1] / sum);
        }
    }
    return steps;
}

void run(benchmark::State& state, double peak) {
    const auto steps = plate_output(peak);
    const auto beam = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto results = ctcdecode::ctc_beam_search_decoder(steps, beam, 1.0f, 40, 0, 0);
        benchmark::DoNotOptimize(results.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("per plate");
}

void BM_BeamSearchPlate(benchmark::State& state) {
    run(state, 6.0);
}
void BM_BeamSearchFlat(benchmark::State& state) {
    run(state, 0.0);
}

}  // namespace

BENCHMARK(BM_BeamSearchPlate)->Arg(3)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BeamSearchFlat)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
