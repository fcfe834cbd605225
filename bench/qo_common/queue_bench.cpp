// Hand-over cost of blocking_queue against a bare mutex/condition-variable queue, between two
// threads and through a chain of four worker threads passing frames as the pipeline does.
// After the usual table it prints frames/s and the blocking/bare time ratios per hop.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/blocking_queue.h"

namespace {

constexpr uint64_t kCapacity = 3;  // the capacity of the network queues
constexpr int kFramesPerIteration = 20000;
constexpr int kStages = 4;

// The textbook bounded queue: the reference that blocking_queue is measured against.
template <typename T>
class BareQueue {
  public:
    explicit BareQueue(uint64_t capacity) : capacity_(capacity) {}
    void push(const T& item) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            notFull_.wait(lock, [this] { return items_.size() < capacity_; });
            items_.push_back(item);
        }
        notEmpty_.notify_one();
    }
    T pop() {
        T item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            notEmpty_.wait(lock, [this] { return !items_.empty(); });
            item = std::move(items_.front());
            items_.pop_front();
        }
        notFull_.notify_one();
        return item;
    }

  private:
    const uint64_t capacity_;
    std::deque<T> items_;
    std::mutex mutex_;
    std::condition_variable notFull_;
    std::condition_variable notEmpty_;
};

// Distinct frames in turn, as a camera delivers them (one frame for all would make every hand-over
// fight over a single reference count).
std::vector<FrameWithInfoPtr> framePool() {
    std::vector<FrameWithInfoPtr> frames;
    for (int i = 0; i < 16; ++i) {
        frames.push_back(std::make_shared<FrameWithInfo>());
    }
    return frames;
}

template <typename Queue>
void handover(benchmark::State& state) {
    auto frames = framePool();
    for (auto _ : state) {
        Queue queue(kCapacity);
        std::thread producer([&] {
            for (int i = 0; i < kFramesPerIteration; ++i) {
                queue.push(frames[static_cast<size_t>(i) % frames.size()]);
            }
        });
        for (int i = 0; i < kFramesPerIteration; ++i) {
            benchmark::DoNotOptimize(queue.pop());
        }
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerIteration);
}

// source -> worker 1 -> ... -> worker 4 -> sink (this thread): five hops, each a queue of 3.
template <typename Queue>
void chain(benchmark::State& state) {
    auto frames = framePool();
    auto poison = FrameWithInfo::makePoison();
    for (auto _ : state) {
        std::vector<std::unique_ptr<Queue>> queues;
        for (int i = 0; i <= kStages; ++i) {
            queues.push_back(std::make_unique<Queue>(kCapacity));
        }
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            for (int i = 0; i < kFramesPerIteration; ++i) {
                queues[0]->push(frames[static_cast<size_t>(i) % frames.size()]);
            }
            queues[0]->push(poison);
        });
        for (int s = 0; s < kStages; ++s) {
            threads.emplace_back([&, s] {
                for (;;) {
                    FrameWithInfoPtr frame = queues[static_cast<size_t>(s)]->pop();
                    frame->processTime += 1.f;  // touch it as a stage would
                    queues[static_cast<size_t>(s) + 1]->push(frame);
                    if (frame->poison) {
                        return;
                    }
                }
            });
        }
        int received = 0;
        while (!queues[kStages]->pop()->poison) {
            ++received;
        }
        for (auto& t : threads) {
            t.join();
        }
        if (received != kFramesPerIteration) {
            state.SkipWithError("frames lost in the chain");
        }
    }
    state.SetItemsProcessed(state.iterations() * kFramesPerIteration);
}

void BM_Handover_BlockingQueue(benchmark::State& state) {
    handover<blocking_queue<FrameWithInfoPtr>>(state);
}
void BM_Handover_BareQueue(benchmark::State& state) {
    handover<BareQueue<FrameWithInfoPtr>>(state);
}
void BM_Chain4_BlockingQueue(benchmark::State& state) {
    chain<blocking_queue<FrameWithInfoPtr>>(state);
}
void BM_Chain4_BareQueue(benchmark::State& state) {
    chain<BareQueue<FrameWithInfoPtr>>(state);
}

BENCHMARK(BM_Handover_BlockingQueue)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Handover_BareQueue)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Chain4_BlockingQueue)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Chain4_BareQueue)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps frames/s of each benchmark (the median when repeated) for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so that a saved report stays plain text.
    SummaryReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") {
                continue;
            }
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) {
                rates[run.run_name.function_name] = rate->second.value;
            }
        }
    }
    std::map<std::string, double> rates;
};

void printSummary(const std::map<std::string, double>& rates) {
    auto rate = [&](const char* name) {
        auto it = rates.find(name);
        return it == rates.end() ? 0.0 : it->second;
    };
    double handBlocking = rate("BM_Handover_BlockingQueue");
    double handBare = rate("BM_Handover_BareQueue");
    double chainBlocking = rate("BM_Chain4_BlockingQueue");
    double chainBare = rate("BM_Chain4_BareQueue");
    if (handBlocking <= 0 || handBare <= 0 || chainBlocking <= 0 || chainBare <= 0) {
        return;  // a filter left some out
    }
    std::printf(
        "\nhand-over between two threads: blocking_queue %.0f frames/s, bare queue %.0f frames/s, "
        "time ratio %.2f\n",
        handBlocking, handBare, handBare / handBlocking);
    std::printf(
        "4-stage chain (5 hops): blocking_queue %.0f frames/s (target >= 50000), bare queue %.0f frames/s, "
        "per-hop time ratio %.2f (target <= 1.5)\n",
        chainBlocking, chainBare, chainBare / chainBlocking);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printSummary(reporter.rates);
    return 0;
}
