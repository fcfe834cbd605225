#include "src/event_builder/NonTriggeredReport.h"

#include <opencv2/core.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/video/Packet.h"
#include "src/event_builder/ClipWriter.h"

using nlohmann::json;

namespace {

// A chosen reading yields to the camera's beautiful reading unless that is this much less sure.
constexpr double kBeautifulConfidenceMargin = 0.15;
// A direction vote whose cosine is below this abstains.
constexpr float kMinDirectionCosine = 0.5f;

json boxOf(const YoloObjectInfo& o) {
    return json::array({o.left, o.top, o.width, o.height});
}

json detectionJson(const Detection& d) {
    return {{"box", boxOf(d.yolo)},           {"class", d.yolo.classId},
            {"class_name", d.yolo.className}, {"confidence", static_cast<double>(d.yolo.detectionConfidence)},
            {"event_id", d.idEvent},          {"found_event", d.foundEvent}};
}

}  // namespace

NonTriggeredReport::NonTriggeredReport(LpEventBuilder& builder, std::function<void(const QEVAPair&)> post)
    : builder_(builder), post_(std::move(post)) {}

void NonTriggeredReport::run(const EventGroup& e) const {
    const char* name = builder_.name.c_str();
    const long id = static_cast<long>(e.id);
    uint64_t reads = 0;
    for (const auto& [text, entry] : e.histogram) {
        reads += entry.first;
    }
    ILog::Debug("%s: Report: event: %li. Size histogram: %ld", name, id, static_cast<long>(reads));
    ILog::Debug("%s: Report: event: %li. Start report", name, id);

    QEVAEvent event = assemble(e);
    writeClips(e, event);

    const std::string plate = event.evts.empty() ? "" : event.evts.front()->num;
    ILog::Debug("%s: Report: event: %li. Send report, LP: %s", name, id, plate.c_str());
    post_(QEVAPair(std::make_unique<QEVAEvent>(std::move(event)), nullptr));
    ILog::Debug("%s: Report: event: %li. Finish report", name, id);
}

QEVAEvent NonTriggeredReport::assemble(const EventGroup& e) const {
    QEVAEvent event;
    event.guid = CommonUtils::genGuid();
    event.ts = e.firstFrameTimestamp;
    event.laneId = builder_.laneId();
    event.laneName = builder_.laneName();
    event.motion_direction = motionDirection(e);
    event.person_number = e.personNumber;

    std::shared_ptr<FrameWithInfo> pairSource;
    addPlateDetections(e, event, pairSource);
    addPairFrames(e, event, pairSource);
    if (e.personsFrame) {
        event.frames.push_back(e.personsFrame->copy());
    }
    event.personDetections = e.personDetections;

    QEVATriggerEvent& trigger = event.trigger;
    trigger.laneId = event.laneId;
    trigger.triggerId = event.txId;
    trigger.triggerGuid = event.guid;
    trigger.laneName = event.laneName;
    trigger.triggerTimestamp = event.ts;
    return event;
}

void NonTriggeredReport::addPlateDetections(const EventGroup& e, QEVAEvent& event,
                                            std::shared_ptr<FrameWithInfo>& pairSource) const {
    const char* name = builder_.name.c_str();
    const long id = static_cast<long>(e.id);
    const EventBase::LprByCamera lpr = e.lpr();
    const auto best = EventBase::getBestOnLane(lpr);
    const StateValue chosenState = e.state();
    LpEventBuilder::CorrectionCache cache;
    const std::string plate = best ? builder_.correctionLPR(best->lpr(), chosenState.value, &cache) : "";
    const float confidence = best ? best->value.confidence : 0.f;
    const StateValue state = builder_.correctionState(chosenState);
    ILog::Debug("%s: Report: event: %li. Size of events: %ld", name, id, static_cast<long>(lpr.size()));

    for (const auto& [cameraId, camera] : builder_.laneSources()) {
        if (!builder_.reportsFrom(*camera)) {
            // What it read before it dropped still belongs to the event: without it an event
            // reported while its camera is away would go out without its plate.
            ILog::Warning("%s: Report: event: %li. Camera is offline: %s", name, id,
                          camera->settings.name.c_str());
        }
        const auto reading = lpr.find(cameraId);
        if (reading == lpr.end()) {
            continue;
        }
        std::shared_ptr<LPREvent> r = reading->second;
        const auto beautiful = e.beautifulFrames.find(cameraId);
        if (beautiful != e.beautifulFrames.end() &&
            static_cast<double>(beautiful->second->value.confidence) >
                static_cast<double>(r->value.confidence) - kBeautifulConfidenceMargin) {
            r = beautiful->second;
        }

        auto detection = std::make_shared<PlateDetectionEvent>();
        detection->num = plate;
        detection->confidence = confidence;
        detection->state = state.value;
        detection->stateConfidence = state.confidence;
        detection->ts = e.lastFrameTimestamp;
        detection->guid = r->guid;
        detection->frameGuid = r->fwi->frame->guid;
        detection->srcId = r->fwi->frame->sourceId;
        detection->src = r->fwi->frame->cameraName;
        detection->yoloInfo = {r->box()};
        detection->frame = r->fwi->frame->copy();
        detection->plate = r->plateOf(detection->frame->image);
        detection->matchType = r->value.matchType;
        detection->plateIndex = 0;
        detection->nontriggered = true;
        event.evts.push_back(detection);
        event.frames.push_back(detection->frame);
        pairSource = r->fwi;

        if (camera->settings.recordEnable) {
            writeImageMetadata(e, *camera, *r);
        }
    }
}

void NonTriggeredReport::addPairFrames(const EventGroup& e, QEVAEvent& event,
                                       const std::shared_ptr<FrameWithInfo>& pairSource) const {
    const char* name = builder_.name.c_str();
    const long id = static_cast<long>(e.id);
    const EventBase::LprByCamera lpr = e.lpr();
    for (const auto& [cameraId, camera] : builder_.laneSources()) {
        if (!builder_.reportsFrom(*camera)) {
            ILog::Warning("%s: Report: event: %li. Camera is offline: %s", name, id,
                          camera->settings.name.c_str());
        }
        if (lpr.count(cameraId) != 0) {
            continue;
        }
        const auto paired = pairSource ? pairSource->pairs.get(cameraId) : nullptr;
        if (!paired || paired->guid.empty()) {
            ILog::Warning("%s: Report: event: %li. Not found frames for camera: %s", name, id,
                          camera->settings.name.c_str());
            continue;
        }
        event.frames.push_back(paired->copy());
    }
}

void NonTriggeredReport::writeImageMetadata(const EventGroup& e, const ek::IVideoSource& camera,
                                            const LPREvent& reading) const {
    json objects = json::array();
    for (const auto& o : reading.fwi->yoloDetectionsOverROI) {
        if (o.id == reading.yoloId) {
            continue;
        }
        objects.push_back({{"box", boxOf(o)},
                           {"class", o.classId},
                           {"class_name", o.className},
                           {"confidence", static_cast<double>(o.detectionConfidence)}});
    }
    const std::string path = camera.settings.pathToSaveVideo + reading.fwi->frame->guid + ".rects";
    builder_.remakeSaveDirectory(camera);
    std::string error;
    if (writeJsonFile(path, objects, error)) {
        ILog::Info("%s: Report: event: %li. Image metadata is recorded to file %s", builder_.name.c_str(),
                   static_cast<long>(e.id), path.c_str());
    } else {
        ILog::Error("%s: Report: event: %li. Can`t write image metadata to file %s (%s)",
                    builder_.name.c_str(), static_cast<long>(e.id), path.c_str(), error.c_str());
    }
}

void NonTriggeredReport::writeClips(const EventGroup& e, QEVAEvent& event) const {
    for (const auto& [cameraId, camera] : builder_.laneSources()) {
        if (!camera->settings.recordEnable) {
            continue;
        }
        if (!builder_.reportsFrom(*camera)) {
            // Its buffer still holds what it sent before the drop.
            ILog::Warning("%s: Report: event: %li. Camera is offline: %s", builder_.name.c_str(),
                          static_cast<long>(e.id), camera->settings.name.c_str());
        }
        const std::string clipGuid = CommonUtils::genGuid();
        if (!writeClip(e, *camera, clipGuid)) {
            continue;
        }
        std::vector<float> roi;
        for (float value : camera->settings.roi) {
            roi.push_back(value / 1000.0f);
        }
        event.roi[cameraId] = std::move(roi);
        event.videos[cameraId] = clipGuid;
    }
}

bool NonTriggeredReport::writeClip(const EventGroup& e, ek::IVideoSource& camera,
                                   const std::string& clipGuid) const {
    const char* name = builder_.name.c_str();
    const long id = static_cast<long>(e.id);
    const auto& settings = camera.settings;
    const int64_t from = e.firstFrameTimestamp - settings.recordTimeBeforeEvent;
    const int64_t to = e.firstFrameTimestamp + settings.recordTimeAfterEvent;
    const std::string clipPath = settings.pathToSaveVideo + clipGuid + ".mp4";
    ILog::Info("%s: Report: event: %li. Write video for camera: %s to file %s", name, id,
               settings.name.c_str(), clipPath.c_str());

    std::vector<std::shared_ptr<Packet>> packets;
    try {
        packets = camera.getEncodedFrames(from, to);
    } catch (const std::exception& failure) {
        // The event still goes out, without this camera's clip.
        ILog::Error("%s: Report: event: %li. Can`t get video frames of camera %s for interval (%ld, %ld): %s",
                    name, id, settings.name.c_str(), static_cast<long>(from), static_cast<long>(to),
                    failure.what());
        ILog::Warning("%s: Report: event: %li. Posted without a clip of camera %s: %s", name, id,
                      settings.name.c_str(), failure.what());
        return false;
    }
    if (packets.empty()) {
        ILog::Info("%s: Report: event: %li. Got video frames %i for interval (%ld, %ld)", name, id, 0,
                   static_cast<long>(from), static_cast<long>(to));
        ILog::Warning(
            "%s: Report: event: %li. Posted without a clip of camera %s: its buffer holds no packets of "
            "(%ld, %ld) from the connection up at the event's first reading%s",
            name, id, settings.name.c_str(), static_cast<long>(from), static_cast<long>(to),
            camera.isOnline() ? "" : " (the camera is offline)");
        return false;
    }
    try {
        const ClipWriter clip(std::move(packets));
        const int correction = camera.correctionTs;
        BufferDetections::Rects rects;
        // The ring map is fixed after start; a camera without a ring has no detections to wait for.
        auto& rings = builder_.rings();
        const auto ring = rings.find(settings.id);
        if (ring != rings.end()) {
            rects = ring->second.rects(clip.firstTimestamp() - correction, clip.lastTimestamp() - correction);
        }
        ILog::Info("%s: Report: event: %li. cam: %i, Get rects, size: %d", name, id, settings.id,
                   static_cast<int>(rects.size()));
        uint64_t notFound = 0;
        const json metadata = clipMetadata(e.id, clip.frameTimestamps(), rects, correction, notFound);
        const auto frames = clip.frameTimestamps().size();
        if (notFound > 0) {
            ILog::Warning("%s: Report: event: %li. Not Found data for frames: %ld / %ld", name, id,
                          static_cast<long>(notFound), static_cast<long>(frames));
        }
        ILog::Info("%s: Report: event: %li. Got video frames %i for interval (%ld, %ld)", name, id,
                   static_cast<int>(frames), static_cast<long>(from), static_cast<long>(to));

        std::lock_guard<std::mutex> disk(LpEventBuilder::accessToDisk);
        builder_.remakeSaveDirectory(camera);
        clip.write(clipPath);
        ILog::Info("%s: Report: event: %li. Video is recorded to file %s", name, id, clipPath.c_str());
        const std::string metadataPath = settings.pathToSaveVideo + clipGuid + ".rects";
        std::string error;
        if (writeJsonFile(metadataPath, metadata, error)) {
            ILog::Info("%s: Report: event: %li. Metadata is recorded to file %s", name, id,
                       metadataPath.c_str());
        } else {
            ILog::Error("%s: Report: event: %li. Can`t write metadata to file %s (%s)", name, id,
                        metadataPath.c_str(), error.c_str());
        }
        return true;
    } catch (const std::exception& failure) {
        // The event still goes out, without this camera's clip.
        ILog::Error("%s: Report: event: %li. Can`t write video for camera %s to file %s: %s", name, id,
                    settings.name.c_str(), clipPath.c_str(), failure.what());
        ILog::Warning("%s: Report: event: %li. Posted without a clip of camera %s: %s", name, id,
                      settings.name.c_str(), failure.what());
        return false;
    }
}

json NonTriggeredReport::clipMetadata(int64_t eventId, const std::vector<int64_t>& frameTimestamps,
                                      const BufferDetections::Rects& rects, int correctionTs,
                                      uint64_t& notFound) {
    json detections = json::array();
    notFound = 0;
    for (size_t i = 0; i < frameTimestamps.size(); ++i) {
        json frameRects = json::array();
        const auto found = rects.find(frameTimestamps[i] - correctionTs);
        if (found == rects.end()) {
            ++notFound;
        } else {
            for (const auto& d : found->second) {
                frameRects.push_back(detectionJson(d));
            }
        }
        detections.push_back({{"timestamp", static_cast<uint64_t>(i)}, {"rects", std::move(frameRects)}});
    }
    return {{"notblurring_id", eventId}, {"detections", std::move(detections)}};
}

bool NonTriggeredReport::writeJsonFile(const std::string& path, const json& document, std::string& error) {
    namespace fs = std::filesystem;
    const std::string temporary = path + "." + CommonUtils::genGuid() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        if (!out) {
            error = std::strerror(errno);
            return false;
        }
        out << document.dump(4, ' ', false, json::error_handler_t::replace);
        out.close();
        if (!out) {
            error = "writing failed";
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        error = ec.message();
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

float NonTriggeredReport::motionDirection(const EventGroup& e) const {
    // Camera -> frame timestamp -> reading; a later reading at the same time replaces the earlier.
    std::map<int, std::map<int64_t, std::shared_ptr<LPREvent>>> byCamera;
    for (const auto& [text, entry] : e.histogram) {
        for (const auto& [source, reading] : entry.second) {
            byCamera[reading->fwi->frame->sourceId][reading->fwi->frame->timestamp] = reading;
        }
    }
    ILog::Debug("MotionDirection: receive event with number cameras: %d", static_cast<int>(byCamera.size()));

    const auto& sources = builder_.laneSources();
    const int minVector = builder_.groupSettings().minDirectionVector;
    std::vector<float> votes;
    for (const auto& [camera, readings] : byCamera) {
        ILog::Debug("MotionDirection: camera: %i, PDE size: %ld", camera, static_cast<long>(readings.size()));
        if (readings.size() < 2) {
            continue;
        }
        const auto source = sources.find(camera);
        if (source == sources.end()) {
            ILog::Warning("MotionDirection: camera: %i is not a camera of lane %i, left out of the direction",
                          camera, builder_.laneId());
            continue;
        }
        const int direction = source->second->settings.direction;
        ILog::Debug("MotionDirection: camera: %i, setting direction %i", camera, direction);
        const cv::Rect first = readings.begin()->second->position;
        const cv::Rect last = readings.rbegin()->second->position;
        ILog::Debug("MotionDirection: camera: %i, first rectangle [%i %i %i %i]", camera, first.x, first.y,
                    first.width, first.height);
        ILog::Debug("MotionDirection: camera: %i, last rectangle [%i %i %i %i]", camera, last.x, last.y,
                    last.width, last.height);
        const auto dx = static_cast<float>((last.x + 0.5 * last.width) - (first.x + 0.5 * first.width));
        const auto dy = static_cast<float>((last.y + 0.5 * last.height) - (first.y + 0.5 * first.height));
        const float len = std::sqrt(dx * dx + dy * dy);
        const auto angle = static_cast<float>(direction * M_PI / 180.0);
        float cosA = 0.f;
        if (len > static_cast<float>(minVector)) {
            cosA = (dx / len) * std::cos(angle) + (dy / len) * (-std::sin(angle));
        } else {
            ILog::Warning("MotionDirection: camera: %i, lenth (%f) of vector direction is below %i", camera,
                          static_cast<double>(len), minVector);
        }
        votes.push_back(cosA);
        ILog::Debug("MotionDirection: camera: %i, cosA: %f", camera, static_cast<double>(cosA));
    }
    if (votes.empty()) {
        ILog::Debug("MotionDirection: No info about direction. result %f", 0.0);
        return 0.f;
    }
    int sum = 0;
    for (float cosA : votes) {
        if (std::fabs(cosA) < kMinDirectionCosine) {
            ILog::Warning("MotionDirection: fabs(cosA): %f < %f, motion direction unknown",
                          static_cast<double>(std::fabs(cosA)), static_cast<double>(kMinDirectionCosine));
            continue;
        }
        sum += cosA > 0 ? 1 : -1;
    }
    const float result = sum > 0 ? 1.f : (sum < 0 ? -1.f : 0.f);
    ILog::Debug("MotionDirection: result %f", static_cast<double>(result));
    return result;
}
