#include "src/PipelineContext.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"
#include "qo_common/utils/JsonBrief.h"

namespace ek {
namespace {

int32_t readPeriod(const nlohmann::json& config, const char* key, int32_t fallback) {
    return ConfigReader(config).integer<int32_t>(key, fallback, 0);
}

// The web server, built before the constructor's body, reads the port as it stands: refuse one
// that it could only narrow (70000 would listen on 4464, 8080.5 on 8080).
const nlohmann::json& withUsablePort(const nlohmann::json& configuration) {
    if (!configuration.is_object()) {
        throw std::runtime_error("the configuration must be a JSON object, got " + briefJson(configuration));
    }
    (void)ConfigReader(configuration).object("webserver").requiredInteger<int>("port", 0, 65535);
    return configuration;
}

void joinAll(std::vector<std::thread>& threads) {
    for (auto& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

template <typename Map>
void refuseTakenName(const Map& map, const std::string& name, const char* what) {
    if (map.count(name) != 0) {
        throw std::runtime_error("duplicate " + std::string(what) + " name: " + name +
                                 " (one stop item would end only one of its readers)");
    }
}

}  // namespace

PipelineContext::PipelineContext(const nlohmann::json& configuration)
    : config(withUsablePort(configuration)),
      sws(this),
      startSaveFrames(readPeriod(config, "start_save_frame_ms", 0)),
      durationSaveFrames(readPeriod(config, "duration_save_frame_ms", 0)),
      periodSaveFrames(readPeriod(config, "period_save_frame_ms", 1000)) {}

PipelineContext::~PipelineContext() {
    try {
        if (terminate) {
            terminate();
        }
    } catch (const std::exception& e) {
        ILog::Error("terminate failed at shut-down: %s", e.what());
    }
    join();
}

std::shared_ptr<PipelineContext::FrameQueue> PipelineContext::addFrameQueue(const std::string& name,
                                                                            uint64_t capacity) {
    refuseTakenName(queues, name, "queue");
    auto queue = std::make_shared<FrameQueue>(capacity);
    queues.emplace(name, queue);
    return queue;
}

std::shared_ptr<PipelineContext::EventQueue> PipelineContext::addEventQueue(const std::string& name,
                                                                            uint64_t capacity) {
    refuseTakenName(eventQueues, name, "event poster");
    auto queue = std::make_shared<EventQueue>(capacity);
    eventQueues.emplace(name, queue);
    return queue;
}

void PipelineContext::addVideoSource(std::unique_ptr<IVideoSource> source) {
    std::lock_guard<std::mutex> guard(lock);
    caps.emplace_back(std::move(source));
}

IVideoSource& PipelineContext::getVideoSource(uint64_t index) {
    std::lock_guard<std::mutex> guard(lock);
    return *caps.at(index);
}

std::map<int32_t, std::shared_ptr<IVideoSource>> PipelineContext::getVideoSources() {
    std::lock_guard<std::mutex> guard(lock);
    std::map<int32_t, std::shared_ptr<IVideoSource>> byId;
    for (const auto& source : caps) {
        byId[source->settings.id] = source;
    }
    return byId;
}

void PipelineContext::foreachVideoSources(
    const std::function<void(std::shared_ptr<IVideoSource>, size_t)>& fn) {
    std::lock_guard<std::mutex> guard(lock);
    for (size_t i = 0; i < caps.size(); ++i) {
        fn(caps[i], i);
    }
}

void PipelineContext::stopAllVideoSources() {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& source : caps) {
        source->stop();
    }
}

void PipelineContext::withLock(const std::function<void(PipelineContext&)>& fn) {
    std::lock_guard<std::mutex> guard(lock);
    fn(*this);
}

bool PipelineContext::deferExitUntilReady() {
    std::lock_guard<std::mutex> guard(readyMutex_);
    if (!ready_) {
        exitPending_ = true;
    }
    return !ready_;
}

bool PipelineContext::markReady() {
    std::lock_guard<std::mutex> guard(readyMutex_);
    ready_ = true;
    return exitPending_;
}

bool PipelineContext::isReady() {
    std::lock_guard<std::mutex> guard(readyMutex_);
    return ready_;
}

void PipelineContext::requestStop() {
    {
        // Set under the mutex, so a waiter that has just found it clear is already waiting.
        std::lock_guard<std::mutex> guard(stopMutex_);
        stop = true;
    }
    stopRequested_.notify_all();
}

bool PipelineContext::waitForStop(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> guard(stopMutex_);
    return stopRequested_.wait_for(guard, period, [this] { return stop.load(); });
}

bool PipelineContext::requestDrain() {
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(stopMutex_);
        first = !draining_.exchange(true);
    }
    stopRequested_.notify_all();
    return first;
}

bool PipelineContext::waitForStopOrDrain() {
    std::unique_lock<std::mutex> guard(stopMutex_);
    stopRequested_.wait(guard, [this] { return stop.load() || draining_.load(); });
    return !stop.load();
}

void PipelineContext::withTriggerThreads(const std::function<void(std::vector<std::future<void>>&)>& fn) {
    std::lock_guard<std::mutex> guard(triggerThreadsMutex_);
    fn(triggerThreads_);
}

void PipelineContext::waitTriggerThreads() {
    std::vector<std::future<void>> running;
    {
        std::lock_guard<std::mutex> guard(triggerThreadsMutex_);
        running.swap(triggerThreads_);
    }
    for (auto& future : running) {
        if (future.valid()) {
            future.wait();
        }
    }
}

void PipelineContext::join() {
    ILog::Info("join producers");
    joinAll(producers);
    ILog::Info("join consumers");
    joinAll(consumers);
    ILog::Info("join players");
    joinAll(players);
    ILog::Info("join posters");
    joinAll(posters);
    ILog::Info("join ebWorkers");
    joinAll(ebWorkers);
    // Trigger threads end once the builders have seen their poison frame (their frame rings are
    // poisoned then), so they are waited for right after the builder workers.
    waitTriggerThreads();
    ILog::Info("stopping...");
    ILog::Info("join queues monitoring");
    if (queuesMonitoringThread && queuesMonitoringThread->joinable()) {
        queuesMonitoringThread->join();
    }
}

}  // namespace ek
