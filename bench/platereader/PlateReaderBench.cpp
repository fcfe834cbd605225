// Greedy decoding with its CTC-loss confidence, and a whole read next to the bare network forward.
// Run from anywhere: the engine cache goes to ./cache of the working directory.
#include <benchmark/benchmark.h>

#include <random>

#include "platereader/CtcDecoder.h"
#include "platereader/PlateReaderFactory.h"
#include "platereader/PlateReaderOnnx.h"
#include "tests/models/PlateDrawing.h"
#include "trt/TRTInferer.h"
#include "trt/TRTOnnxBuilder.h"

namespace {

const std::string kAlphabet = "0123456789ABCDEFGHIJKLMNPQRSTUVWXYZ ";

// T steps of probabilities over the default alphabet: a 7-character plate between blanks, each
// step sure of its symbol at 0.9 with the rest spread at random.
std::vector<float> plateOutput(int steps) {
    const int c = static_cast<int>(kAlphabet.size());
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> noise(0.f, 1.f);
    std::vector<float> out(static_cast<size_t>(steps * c));
    for (int t = 0; t < steps; ++t) {
        int symbol = (t % 6 == 3 && t / 6 < 7) ? (t * 5) % (c - 1) : c - 1;
        float* row = &out[static_cast<size_t>(t * c)];
        float sum = 0;
        for (int x = 0; x < c; ++x) {
            row[x] = x == symbol ? 0.f : noise(rng);
            sum += row[x];
        }
        for (int x = 0; x < c; ++x) {
            row[x] = x == symbol ? 0.9f : 0.1f * row[x] / sum;
        }
    }
    return out;
}

void BM_GreedyDecodeAndConfidence(benchmark::State& state) {
    const int steps = 48;
    CtcDecoder decoder(kAlphabet, steps, static_cast<int>(kAlphabet.size()), true);
    auto output = plateOutput(steps);
    for (auto _ : state) {
        std::string text = decoder.parse(output.data(), 2);
        benchmark::DoNotOptimize(decoder.confidence(output.data(), 2, text));
    }
}
BENCHMARK(BM_GreedyDecodeAndConfidence)->Unit(benchmark::kMicrosecond);

const std::string kModelDir = QO_PLATE_MODELS_DIR;

void BM_BareForward(benchmark::State& state) {
    TRTOnnxBuilder builder(kModelDir + "/plate_reader_bench.onnx", "");
    TRTInferer inferer(builder.getEngine(), builder.dims(), 1);
    auto input = plate_drawing::input("AB12C3D");
    for (auto _ : state) {
        benchmark::DoNotOptimize(inferer.infer(input));
    }
}
BENCHMARK(BM_BareForward)->Unit(benchmark::kMicrosecond)->UseRealTime();

// state.range(0) as decoding: 0 greedy, else the beam size.
nlohmann::json readerConfig(const std::string& weights, int64_t decoding) {
    nlohmann::json decode = decoding == 0 ? nlohmann::json{{"type", "greedy"}}
                                          : nlohmann::json{{"type", "beam"}, {"beamSize", decoding}};
    return {{"name", "bench"},
            {"model",
             {{"definition",
               {{"path", kModelDir},
                {"content",
                 {{"files", {{"weights", weights}, {"alphabet", plate_drawing::kAlphabet}}},
                  {"decode", decode}}}}}}}};
}

// state.range(0): 0 greedy, else the beam size.
void BM_Read(benchmark::State& state) {
    nlohmann::json config = readerConfig("plate_reader_bench.onnx", state.range(0));
    auto reader = createPlateReader(config, false, 1);
    std::vector<LPRDetection> dets(1);
    dets[0].plate = plate_drawing::colourPlate("AB12C3D");
    reader->prepare(dets);
    for (auto _ : state) {
        dets.resize(1);
        reader->read(dets, nullptr);
        benchmark::DoNotOptimize(dets[0].confidence);
    }
}
BENCHMARK(BM_Read)->Arg(0)->Arg(3)->Arg(10)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What read adds to the forward: the decoding of one recorded network output.
void BM_DecodeOnly(benchmark::State& state) {
    nlohmann::json config = readerConfig("plate_reader.onnx", state.range(0));
    PlateReaderOnnx reader(config, false, 1);
    TRTOnnxBuilder builder(kModelDir + "/plate_reader.onnx", "");
    TRTInferer inferer(builder.getEngine(), builder.dims(), 1);
    const auto output = inferer.infer(plate_drawing::input("AB12C3D"));
    std::vector<LPRDetection> dets(1);
    for (auto _ : state) {
        dets.resize(1);
        reader.decode(dets, output);
        benchmark::DoNotOptimize(dets[0].confidence);
    }
}
BENCHMARK(BM_DecodeOnly)->Arg(0)->Arg(3)->Arg(10)->Unit(benchmark::kMicrosecond);

void BM_Prepare(benchmark::State& state) {
    nlohmann::json config = {
        {"name", "bench"},
        {"model",
         {{"definition",
           {{"path", kModelDir},
            {"content",
             {{"files", {{"weights", "plate_reader.onnx"}, {"alphabet", plate_drawing::kAlphabet}}}}}}}}}};
    auto reader = createPlateReader(config, false, 1);
    std::vector<LPRDetection> dets(1);
    dets[0].plate = plate_drawing::colourPlate("AB12C3D", 2);
    for (auto _ : state) {
        reader->prepare(dets);
        benchmark::DoNotOptimize(dets[0].prepared.data());
    }
}
BENCHMARK(BM_Prepare)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
