#include "src/event_builder/TrainBuilder.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "qo_common/event_poster/QEVAPair.h"
#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/JsonBrief.h"
#include "src/PipelineContext.h"
#include "src/event_builder/BuilderConfig.h"
#include "src/event_builder/FrameTime.h"

using nlohmann::json;

namespace {

// So many unfinished reports look like a stuck poster.
constexpr size_t kReportsWarning = 3;
const cv::Rect kWholeImage{0, 0, 1000, 1000};

// Every event of the history was made by this builder; anything else is a fault of ours.
TrainEvent& asTrain(const std::shared_ptr<EventBase>& event) {
    auto* train = dynamic_cast<TrainEvent*>(event.get());
    if (train == nullptr) {
        throw std::logic_error("TrainBuilder: an event of another kind in the history");
    }
    return *train;
}

bool isClosed(const EventBase& event) {
    return event.processingState == EventBase::Finish || event.processingState == EventBase::Combined ||
           event.processingState == EventBase::Ignored;
}

// One "doorRoi" item: a whole decimal int, an optional sign included; nothing else.
std::optional<int> parseRoiItem(const std::string& item) {
    const std::string text = CommonUtils::trim(item);
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-') {
            return std::nullopt;
        }
    }
    int value = 0;
    const auto [end, error] = std::from_chars(first, last, value, 10);
    if (error != std::errc() || end != last || first == last) {
        return std::nullopt;
    }
    return value;
}

// x, y, width, height from "x, y, width, height"; nothing for any other text.
std::optional<cv::Rect> parseDoorRoi(const std::string& text) {
    const auto items = CommonUtils::split(text, ",");
    if (items.size() != 4) {
        return std::nullopt;
    }
    int values[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        const auto value = parseRoiItem(items[i]);
        if (!value) {
            return std::nullopt;
        }
        values[i] = *value;
    }
    return cv::Rect(values[0], values[1], values[2], values[3]);
}

// Beyond the float range the value becomes an infinity (the load warns), not undefined behaviour.
float toFloat(double value) {
    constexpr double kLargest = std::numeric_limits<float>::max();
    if (value > kLargest) {
        return std::numeric_limits<float>::infinity();
    }
    if (value < -kLargest) {
        return -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

std::string rectText(const cv::Rect& r) {
    return std::to_string(r.x) + ", " + std::to_string(r.y) + ", " + std::to_string(r.width) + ", " +
           std::to_string(r.height);
}

}  // namespace

TrainBuilder::TrainBuilder(ek::PipelineContext& ctx, const json& config)
    : EventBuilderComponent(ctx, config) {
    settings.eventBuilderName = name;
    readTrainKeys(config);
    readDoorRoi(config);
    warnAboutOddSettings();
}

TrainBuilder::~TrainBuilder() {
    CommonUtils::cleanupListThreads(futureReports);
    for (auto& report : futureReports) {
        if (report.valid()) {
            report.wait();
        }
    }
}

void TrainBuilder::readTrainKeys(const json& config) {
    const BuilderConfig keys(config);
    settings.eventEmitWait = keys.int32("eventEmitWait", settings.eventEmitWait);
    settings.lpForgetInterval =
        keys.int32("lpForgetInterval", static_cast<int32_t>(settings.lpForgetInterval));

    // Only "minDetections" of the event-model keys is the train builder's; the others keep the
    // licence-plate defaults. Refused below 0: held unsigned, -1 would become 2^64-1.
    ModelKeys model;
    model.minDetections = keys.int32("minDetections", static_cast<int32_t>(model.minDetections));
    model.validate(name);
    settings.minDetections = static_cast<uint64_t>(model.minDetections);
    settings.maxNumberLpVariance = static_cast<uint64_t>(model.maxNumberLpVariance);
    settings.lpConfidenceVariance = static_cast<float>(model.lpConfidenceVariance);

    settings.minDoorOpenCount = keys.int32("minDoorOpenCount", settings.minDoorOpenCount);
    if (settings.minDoorOpenCount < 0) {
        // A negative count would take every frame, a door or not, for an open door.
        throw BuilderConfig::Error("minDoorOpenCount", "must be at least 0, got " +
                                                           std::to_string(settings.minDoorOpenCount) +
                                                           " (builder \"" + name + "\")");
    }
    settings.maxDoorDistancePercent = keys.int32("maxDoorDistancePercent", settings.maxDoorDistancePercent);
    settings.stationaryPlateMinCount =
        keys.int32("stationaryPlateMinCount", settings.stationaryPlateMinCount);
    settings.iouThreshold = toFloat(keys.number("iouThreshold", settings.iouThreshold));
}

void TrainBuilder::readDoorRoi(const json& config) {
    if (!config.is_object() || !config.contains("doorRoi")) {
        return;
    }
    const json& value = config.at("doorRoi");
    std::optional<cv::Rect> roi;
    if (value.is_string()) {
        roi = parseDoorRoi(value.get<std::string>());
    }
    if (!roi) {
        ILog::Warning("%s: doorRoi is malformed, got %s; doors are looked for in the whole image (%s)",
                      name.c_str(), ek::briefJson(value).c_str(), rectText(kWholeImage).c_str());
        roi = kWholeImage;
    }
    settings.doorRoi = *roi;
}

void TrainBuilder::warnAboutOddSettings() const {
    if (settings.doorRoi.width <= 0 || settings.doorRoi.height <= 0) {
        ILog::Warning("%s: doorRoi %s has no area: no door will ever be found", name.c_str(),
                      rectText(settings.doorRoi).c_str());
    }
    if (!(settings.iouThreshold > 0.f && settings.iouThreshold <= 1.f)) {
        ILog::Warning("%s: iouThreshold %f is outside (0, 1]: the direction %s", name.c_str(),
                      static_cast<double>(settings.iouThreshold),
                      settings.iouThreshold > 1.f ? "takes every position" : "takes the first position only");
    }
}

void TrainBuilder::start() {
    ILog::Debug("%s: Get cameras from video sources", name.c_str());
    sources.clear();
    bool recording = false;
    for (const auto& [id, source] : ctx.getVideoSources()) {
        if (source->settings.laneId != laneID) {
            continue;
        }
        sources[id] = source;
        recording = recording || source->settings.recordEnable;
        ILog::Debug("%s: Connect ot camera: %s", name.c_str(), source->settings.name.c_str());
    }
    if (sources.empty()) {
        ILog::Warning("%s: no camera on lane %d: its events would be posted without plates", name.c_str(),
                      laneID);
    } else if (!recording) {
        ILog::Warning("%s: no recording camera on lane %d: its events would be posted without plates",
                      name.c_str(), laneID);
    }
}

void TrainBuilder::consume(std::shared_ptr<FrameWithInfo> frame) {
    if (!frame || frame->poison) {
        return;  // the destructor waits for the reports
    }
    cleanupReports();
    auto inProcess = FrameWithInfo::InProccess;
    frame->status.compare_exchange_strong(inProcess, FrameWithInfo::Processed);
    matchReadings(frame);
    const int64_t ts = frame->frame->timestamp;
    latestTs_ = seenFrame_ ? std::max(latestTs_, ts) : ts;
    lastTs_ = ts;
    seenFrame_ = true;
    sweep(ts);
}

void TrainBuilder::idle(std::chrono::milliseconds sinceLastFrame) {
    if (!seenFrame_) {
        return;
    }
    cleanupReports();
    sweep(frameTimeAfter(lastTs_, sinceLastFrame.count()));
}

void TrainBuilder::flush() {
    if (seenFrame_) {
        ILog::Info("%s: input ended: %ld open event(s) are swept as if forgotten", name.c_str(),
                   static_cast<long>(history.size()));
        sweep(frameTimeAfter(latestTs_, frameTimeAfter(settleTime().count(), 1)));
    }
    for (auto& report : futureReports) {
        while (report.valid() &&
               report.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (ctx.stop) {
                return;  // the destructor waits for them
            }
        }
    }
    cleanupReports();
}

std::chrono::milliseconds TrainBuilder::settleTime() const {
    return std::chrono::milliseconds{frameTimeAfter(settings.lpForgetInterval, settings.eventEmitWait)};
}

void TrainBuilder::trigger(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds) {
    (void)trigger;
    (void)cameraIds;
}

std::string TrainBuilder::getStatString() const {
    return "Events in history " + std::to_string(eventsInHistory.load());
}

json TrainBuilder::getStatistics() const {
    return {{"eventsInHistory", eventsInHistory.load()}};
}

EventBuilderMode TrainBuilder::mode() const {
    return EventBuilderMode::Train;
}

void TrainBuilder::cleanupReports() {
    const size_t before = futureReports.size();
    const size_t after = CommonUtils::cleanupListThreads(futureReports);
    if (before != after) {
        ILog::Debug("%s: Cleanup reports threads: %ld -> %ld", name.c_str(), static_cast<long>(before),
                    static_cast<long>(after));
    }
}

void TrainBuilder::matchReadings(const std::shared_ptr<FrameWithInfo>& frame) {
    // Readings of another lane's camera would mix trains of two lanes.
    if (sources.count(frame->frame->sourceId) == 0) {
        return;
    }
    for (const auto& [objectId, group] : lprGroupByRect(frame)) {
        (void)objectId;
        auto event = findEvent(&history, group, [this] { return std::make_shared<TrainEvent>(&settings); });
        eventsInHistory = history.size();
        asTrain(event).appendLPRs(frame, group);
    }
}

void TrainBuilder::sweep(int64_t ts) {
    for (auto it = history.begin(); it != history.end();) {
        TrainEvent& event = asTrain(*it);
        event.update(ts);
        const bool settled = handleReport(event);
        if (isClosed(event) && settled) {
            closeEvent(event);
            it = history.erase(it);
            eventsInHistory = history.size();
        } else {
            ++it;
        }
    }
}

bool TrainBuilder::handleReport(TrainEvent& event) {
    if (!event.needReport) {
        return true;
    }
    ILog::Debug("%s: Need send report for event ID: %ld", name.c_str(), static_cast<long>(event.id));
    if (event.reportTimestamp != 0) {
        event.needReport = false;  // a train event is reported once
        return true;
    }
    return launchReport(event);
}

bool TrainBuilder::launchReport(TrainEvent& event) {
    const int64_t now = CommonUtils::getTs();
    {
        std::lock_guard<std::mutex> lock(event.statistics.mtx);
        event.statistics.durationEvent = now - event.createTimestamp;
    }
    const size_t unfinished = CommonUtils::cleanupListThreads(futureReports);
    if (unfinished < kReportsWarning) {
        ILog::Debug("%s: Number reports threads: %ld", name.c_str(), static_cast<long>(unfinished));
    } else {
        ILog::Warning("%s: Number reports threads: %ld", name.c_str(), static_cast<long>(unfinished));
    }
    ILog::Debug("META: Run report thread. event id: %li", static_cast<long>(event.id));
    auto copy = std::make_shared<TrainEvent>(event);
    copy->reportTimestamp = now;
    try {
        // Room first: a future dropped after its thread started would make us wait and report twice.
        futureReports.reserve(futureReports.size() + 1);
        futureReports.push_back(startReportThread([this, copy] { reportGuarded(*copy); }));
    } catch (const std::exception& e) {
        // Still unreported: the next frame tries again.
        ILog::Error("%s: report thread for event ID %ld did not start: %s; retrying at the next frame",
                    name.c_str(), static_cast<long>(event.id), e.what());
        return false;
    }
    event.reportTimestamp = now;
    event.needReport = false;
    return true;
}

std::future<void> TrainBuilder::startReportThread(std::function<void()> job) {
    return std::async(std::launch::async, std::move(job));
}

void TrainBuilder::closeEvent(const TrainEvent& event) const {
    const auto shown = event.maxConfidenceLPR();
    ILog::Debug("%s: Delete %s event from history ID: %ld LP:  %s", name.c_str(), event.statusStr().c_str(),
                static_cast<long>(event.id), shown ? shown->lpr().c_str() : "");
    if (event.reportTimestamp == 0) {
        ILog::Debug("%s: No report event ID: %ld, detections: %ld, number reads: %ld", name.c_str(),
                    static_cast<long>(event.id), static_cast<long>(event.counterFrames),
                    static_cast<long>(event.histogram.size()));
    }
    const auto best = EventBase::getBestOnLane(event.lpr());
    ILog::Info("%s: ID: %ld, LP: %s, %s", name.c_str(), static_cast<long>(event.id),
               best ? best->lpr().c_str() : "", event.statistics.get().dump().c_str());
}

void TrainBuilder::reportGuarded(const TrainEvent& event) const {
    try {
        report(event);
    } catch (const std::exception& e) {
        ILog::Error("Exception detected in Report thread. message: %s", e.what());
    } catch (...) {
        ILog::Error("Exception detected in Report thread");
    }
}

void TrainBuilder::report(const TrainEvent& event) const {
    const long id = static_cast<long>(event.id);
    ILog::Debug("%s: Report: event: %li. Start report", name.c_str(), id);
    auto out = std::make_unique<QEVAEvent>(buildEvent(event));
    const auto best = EventBase::getBestOnLane(event.lpr());
    ILog::Debug("%s: Report: event: %li. Send report, LP: %s", name.c_str(), id,
                best ? best->lpr().c_str() : "");
    post(QEVAPair(std::move(out), nullptr));
    ILog::Debug("%s: Report: event: %li. Finish report", name.c_str(), id);
}

QEVAEvent TrainBuilder::buildEvent(const TrainEvent& event) const {
    QEVAEvent out;
    out.guid = CommonUtils::genGuid();
    out.ts = event.firstFrameTimestamp;
    out.laneId = laneID;
    out.laneName = nameOfLane;
    out.motion_direction = static_cast<float>(event.detectDirection());
    out.person_number = 0;
    out.txId = 0;
    out.postTrigger = false;
    if (event.openDoorFrame && event.openDoorFrame->frame) {
        out.frames.push_back(event.openDoorFrame->frame->copy());
    }
    if (event.lastFrame) {
        out.frames.push_back(event.lastFrame->copy());
    }
    addPlateDetections(event, out);
    return out;
}

void TrainBuilder::addPlateDetections(const TrainEvent& event, QEVAEvent& out) const {
    const auto readings = event.lpr();
    const auto best = EventBase::getBestOnLane(readings);
    if (!best) {
        return;
    }
    for (const auto& [cameraId, source] : sources) {
        if (!source->settings.recordEnable) {
            continue;
        }
        if (!reportsFrom(*source)) {
            ILog::Warning("%s: Report: event: %li. Camera is offline: %s", name.c_str(),
                          static_cast<long>(event.id), source->settings.name.c_str());
            continue;
        }
        const auto found = readings.find(cameraId);
        if (found == readings.end() || !found->second) {
            continue;
        }
        const LPREvent& reading = *found->second;
        const auto& frame = *reading.fwi->frame;
        auto detection = std::make_shared<PlateDetectionEvent>();
        detection->guid = reading.guid;
        detection->frameGuid = frame.guid;
        detection->srcId = frame.sourceId;
        detection->src = frame.cameraName;
        detection->num = best->lpr();  // uncorrected, the same for every camera
        detection->confidence = best->value.confidence;
        detection->matchType = reading.value.matchType;
        detection->ts = frame.timestamp;
        detection->yoloInfo = {reading.box()};
        detection->frame = frame.copy();
        detection->plate = reading.plateOf(detection->frame->image);
        detection->plateIndex = 0;
        out.evts.push_back(std::move(detection));
    }
}
