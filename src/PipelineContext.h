#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/event_poster/QEVAEventPoster.h"
#include "qo_common/event_poster/QEVAPair.h"
#include "qo_common/event_poster/QEVATriggerEvent.h"
#include "qo_common/utils/FPSMeter.h"
#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/VideoOutput.h"
#include "qo_common/utils/balance_queue.h"
#include "qo_common/utils/blocking_queue.h"
#include "qo_common/video/IVideoSource.h"
#include "src/Component.h"
#include "src/ProducerStatistics.h"
#include "src/SimpleWebServer.h"
#include "src/TriggerStatistics.h"
#include "src/event_builder/IEventBuilderComponent.h"

namespace ek {

// The one shared object of a run: every queue, component, builder, output and worker thread,
// by name, plus the callbacks through which the parts reach each other.
//
// Loading (main thread, before any worker starts) fills the maps; afterwards they are only read,
// which is why pushToDests, terminate and event posting read them without the lock. `lock`
// guards `caps`, `status`, `lastFrame`, `producersStats` and `netTimes`; it is not recursive.
class PipelineContext {
  public:
    using FrameQueue = blocking_queue<std::shared_ptr<FrameWithInfo>>;
    using EventQueue = blocking_queue<QEVAPair>;

    // Throws for a configuration that is not an object, has no "webserver"."port" from 0 to 65535
    // (0: any free port) or has a frame-saving key that is not a non-negative 32-bit integer;
    // ek::ConfigError names the key.
    explicit PipelineContext(const nlohmann::json& configuration);
    // Runs terminate (when installed) and join once more; builders then wait for their reports.
    ~PipelineContext();
    PipelineContext(const PipelineContext&) = delete;
    PipelineContext& operator=(const PipelineContext&) = delete;

    std::function<void(const std::string& key, const std::string& value)> setStatus;
    std::function<void(const std::vector<std::string>& destinations, std::shared_ptr<FrameWithInfo> frame)>
        pushToDests;
    std::function<void()> terminate;
    std::function<void(QEVATriggerEvent trigger)> trigger;
    std::mutex lock;
    std::vector<std::shared_ptr<IVideoSource>> caps;
    std::map<std::string, std::shared_ptr<balance_queue>> queuesLoadBalancer;
    std::map<std::string, std::shared_ptr<FrameQueue>> queues;
    std::map<std::string, std::shared_ptr<EventQueue>> eventQueues;
    // The posters with a thread, by name, for their delivery statistics; filled at loading.
    std::map<std::string, std::shared_ptr<QEVAEventPoster>> eventPosters;
    std::map<std::string, std::shared_ptr<IEventBuilderComponent>> eventBuilders;
    std::map<std::string, VideoOutput> outputs;
    std::map<std::string, std::shared_ptr<Component>> networks;
    std::map<std::string, std::shared_ptr<ProducerStatistics>> producersStats;
    TriggerStatistics triggerStats;
    std::map<std::string, float> netTimes;
    FPSMeter netMeter{2000};
    std::map<std::string, std::shared_ptr<FrameWithInfo>> lastFrame;
    // The configuration as read, before main rewrites its "networks".
    nlohmann::json config;
    SimpleWebServer sws;
    std::atomic<int32_t> netFps{0};
    nlohmann::json status;
    std::atomic<bool> stop{false};
    std::atomic<bool> inferenceEnabled{true};
    int32_t startSaveFrames = 0;
    int32_t durationSaveFrames = 0;
    int32_t periodSaveFrames = 1000;
    std::vector<std::thread> producers;
    std::vector<std::thread> ebWorkers;
    std::vector<std::thread> consumers;
    std::vector<std::thread> players;
    std::vector<std::thread> posters;
    std::optional<std::thread> queuesMonitoringThread;

    // --- loading helpers (main thread only, before the workers start) ---
    // A new frame queue in `queues`. Builders, networks (name and name + "_infer") and outputs
    // share that map, and one poison item ends only one reader, so a name already taken throws
    // std::runtime_error instead of replacing the queue.
    std::shared_ptr<FrameQueue> addFrameQueue(const std::string& name, uint64_t capacity);
    // A new event queue in `eventQueues`; a poster name already taken throws std::runtime_error.
    std::shared_ptr<EventQueue> addEventQueue(const std::string& name, uint64_t capacity);

    // --- video sources (each takes `lock`) ---
    void addVideoSource(std::unique_ptr<IVideoSource> source);
    // Throws std::out_of_range for an index not below the number of sources.
    IVideoSource& getVideoSource(uint64_t index);
    // By settings.id, in `caps` order: a later source with the same id replaces an earlier one.
    std::map<int32_t, std::shared_ptr<IVideoSource>> getVideoSources();
    // Calls `fn` for every source in `caps` order with the lock held across all calls; `fn` must
    // not call any other locking operation of the context.
    void foreachVideoSources(const std::function<void(std::shared_ptr<IVideoSource>, size_t)>& fn);
    void stopAllVideoSources();
    // Calls `fn` with the lock held; an empty `fn` throws std::bad_function_call.
    void withLock(const std::function<void(PipelineContext&)>& fn);

    // --- readiness: the HTTP server answers while loading is still under way ---
    // Called by GET "/exit": true when loading has not finished, in which case the stop is
    // remembered and main carries it out once loading ends.
    bool deferExitUntilReady();
    // Called by main once loading and the start functions are done; true when an "/exit" came
    // meanwhile.
    bool markReady();
    // False until markReady(): trigger intake refuses triggers until then.
    bool isReady();

    // --- the stop flag ---
    // Sets `stop` and wakes every waitForStop at once. Setting `stop` alone does not wake them.
    void requestStop();
    // Sleeps up to `period` unless the stop is requested; true when it has been (also when it
    // already was on entry).
    bool waitForStop(std::chrono::milliseconds period);

    // --- the end of the input: a file source that does not restart has ended ---
    // Asks main to drain the pipeline before the orderly stop; true for the first request. From
    // then on producers reopen nothing and trigger intake refuses triggers.
    bool requestDrain();
    bool draining() const { return draining_.load(); }
    // Blocks until the stop or a drain is requested; true when a drain is and the stop is not.
    bool waitForStopOrDrain();
    // Frames pushed into a balancer or frame queue and not yet handled by that queue's worker: the
    // pusher counts before it pushes, the worker after it has handed the frame on, so the count is
    // 0 only while no frame is anywhere between the producers and the builders. Poison frames are
    // not counted. Only a drain reads it.
    void frameQueued() { framesInFlight_.fetch_add(1); }
    void frameHandled() { framesInFlight_.fetch_sub(1); }
    int64_t framesInFlight() const { return framesInFlight_.load(); }
    // The drain asks every builder worker to flush once its queue is empty; each worker notes its
    // flush as done.
    void requestFlush() { flushRequested_ = true; }
    bool flushRequested() const { return flushRequested_.load(); }
    void builderFlushed() { flushedBuilders_.fetch_add(1); }
    size_t flushedBuilders() const { return flushedBuilders_.load(); }

    // --- trigger threads ---
    // Calls `fn` with the futures of the trigger threads while holding their own mutex, so that
    // pruning, the limit test and the launch are one step. join() waits for what is left.
    void withTriggerThreads(const std::function<void(std::vector<std::future<void>>&)>& fn);

    // Waits for every worker group; logs one line per group before it waits.
    void join();

  private:
    void waitTriggerThreads();

    std::mutex stopMutex_;
    std::condition_variable stopRequested_;
    std::atomic<bool> draining_{false};
    std::atomic<int64_t> framesInFlight_{0};
    std::atomic<bool> flushRequested_{false};
    std::atomic<size_t> flushedBuilders_{0};
    std::mutex readyMutex_;
    bool ready_ = false;
    bool exitPending_ = false;
    std::mutex triggerThreadsMutex_;
    // Declared last, so destroyed first: a trigger thread started during the stop is waited for
    // while everything it may reach still exists.
    std::vector<std::future<void>> triggerThreads_;
};

}  // namespace ek
