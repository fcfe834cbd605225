#include "src/event_builder/LpEventBuilder.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "qo_common/logger/log.h"
#include "src/PipelineContext.h"

using nlohmann::json;
namespace fs = std::filesystem;

std::mutex LpEventBuilder::accessToDisk;

namespace {

const char* kDefaultCatalogPath = "/var/lib/plate-catalog/plate_catalog.json";

void requireNotNegative(const char* key, int64_t value, const std::string& builderName) {
    if (value < 0) {
        throw BuilderConfig::Error(
            key, "must not be negative, got " + std::to_string(value) + " (builder \"" + builderName + "\")");
    }
}

}  // namespace

LpEventBuilder::LpEventBuilder(ek::PipelineContext& ctx, const json& config)
    : EventBuilderComponent(ctx, config) {
    const BuilderConfig keys(config);
    readModelKeys(keys);
    readDefaults(config);
    plateCatalogPath = keys.text("plateCatalogPath", kDefaultCatalogPath);
    ILog::Debug("Defaults.state.use %i", defaults.state.use ? 1 : 0);
    ILog::Debug("Defaults.state.value %s", defaults.state.value.value.c_str());
    correction_ = std::make_unique<const PlateCorrection>(plateCatalogPath);
}

LpEventBuilder::~LpEventBuilder() = default;

void LpEventBuilder::readModelKeys(const BuilderConfig& keys) {
    // The keys the event model needs signed and checked come through the base's reader.
    const ModelKeys model = ModelKeys::read(keys, name, ModelKeys{});
    EventGroupSettings& s = eventGroupSettings;
    s.reportInterval = keys.int32("reportInterval", 60000);
    requireNotNegative("reportInterval", s.reportInterval, name);
    s.minDetections = static_cast<uint64_t>(model.minDetections);
    s.lpForgetInterval = keys.int32("lpForgetInterval", 30000);
    requireNotNegative("lpForgetInterval", s.lpForgetInterval, name);
    s.lpConfidenceVariance = static_cast<float>(model.lpConfidenceVariance);
    s.minDirectionVector = keys.int32("minDirectionVector", 10);
    s.maxNumberLpVariance = static_cast<uint64_t>(model.maxNumberLpVariance);
    const int32_t states = keys.int32("maxNumberStateVariance", 15);
    if (states < 1) {
        // 0 would empty every state histogram right after each detection.
        throw BuilderConfig::Error(
            "maxNumberStateVariance",
            "must be at least 1, got " + std::to_string(states) + " (builder \"" + name + "\")");
    }
    s.maxNumberStateVariance = static_cast<uint64_t>(states);
    s.eventBuilderName = name;
    s.vehicleClassId = keys.int32("vehicleClassId", 1);
    s.personClassId = keys.int32("personClassId", 2);
    s.showPersonRects = keys.flag("showPersonRects", false);
    s.showPersonImage = keys.flag("showPersonImage", false);
    s.positionBeautifulFrame = static_cast<float>(keys.number("positionBeautifulFrame", 0.67));
}

void LpEventBuilder::readDefaults(const json& config) {
    const auto found = config.find("defaults");
    if (found == config.end()) {
        return;
    }
    if (!found->is_object()) {
        throw BuilderConfig::Error("defaults", ek::ConfigReader::expected("an object", *found));
    }
    try {
        const BuilderConfig keys(*found);
        defaults.state.use = keys.flag("stateActive", false);
        defaults.state.value.value = keys.text("state", "");
        defaults.state.value.confidence = static_cast<float>(keys.number("stateConfidence", 0.99));
    } catch (const BuilderConfig::Error& e) {
        throw e.under("defaults");
    }
}

void LpEventBuilder::start() {
    ILog::Debug("%s: Get cameras from video sources", name.c_str());
    sources.clear();
    for (const auto& [id, source] : ctx.getVideoSources()) {
        if (source->settings.laneId == laneID) {
            sources.emplace(id, source);
            ILog::Debug("%s: Connect ot camera: %s", name.c_str(), source->settings.name.c_str());
        }
    }
    ILog::Debug("%s: Make directories for save video", name.c_str());
    std::vector<std::string> savePaths;
    for (const auto& [id, camera] : sources) {
        const uint64_t n = 2 * camera->getSizeBufferFrames();
        ILog::Debug("%s: Create BufferDetections( %ld )", name.c_str(), static_cast<long>(n));
        // Every lane camera has its ring from now on, so the map never changes while reports read
        // it; an unsized buffer gets the one entry a first push would have made.
        auto& ring = rectsBufferByCam.try_emplace(camera->settings.id, n > 0 ? n : 1).first->second;
        ILog::Debug("%s: rectsBufferByCam[cam->settings.id].capacity: %ld", name.c_str(),
                    static_cast<long>(ring.capacity()));
        prepareSaveDirectory(*camera);
        savePaths.push_back(camera->settings.pathToSaveVideo);
    }
    sweeper_ = std::make_unique<OldFileSweeper>(name, std::move(savePaths), accessToDisk);
}

void LpEventBuilder::prepareSaveDirectory(const ek::IVideoSource& camera) const {
    const auto& settings = camera.settings;
    const std::string& path = settings.pathToSaveVideo;
    if (path.empty()) {
        if (settings.recordEnable) {
            throw std::runtime_error(name + ": camera " + settings.name +
                                     " records clips but has no \"pathToSaveVideo\"");
        }
        return;
    }
    if (settings.recordEnable && path.back() != '/') {
        ILog::Warning("%s: \"pathToSaveVideo\" of camera %s is a file-name prefix, not a directory: %s",
                      name.c_str(), settings.name.c_str(), path.c_str());
    }
    const std::string directory = OldFileSweeper::targetOf(path).directory;
    std::error_code ec;
    const auto status = fs::status(directory, ec);
    if (fs::exists(status) && !fs::is_directory(status)) {
        ILog::Error("%s: Can`t create directory %s,  error code: %i", name.c_str(), directory.c_str(),
                    ENOTDIR);
        throw std::runtime_error(name + ": the save directory " + directory + " of camera " + settings.name +
                                 " (\"pathToSaveVideo\" " + path + ") is not a directory");
    }
    if (!fs::create_directory(directory, ec) && ec) {
        ILog::Error("%s: Can`t create directory %s,  error code: %i", name.c_str(), directory.c_str(),
                    ec.value());
        throw std::runtime_error(name + ": can't create the save directory " + directory + " of camera " +
                                 settings.name + " (\"pathToSaveVideo\" " + path + "): " + ec.message());
    }
    ILog::Info("%s: Create directory %s", name.c_str(), directory.c_str());
}

void LpEventBuilder::remakeSaveDirectory(const ek::IVideoSource& camera) const {
    const auto& settings = camera.settings;
    if (settings.pathToSaveVideo.empty()) {
        return;
    }
    const std::string directory = OldFileSweeper::targetOf(settings.pathToSaveVideo).directory;
    std::error_code ec;
    if (fs::exists(directory, ec) || ec) {
        // Present, or not to be told: the write that follows reports what is wrong.
        return;
    }
    if (fs::create_directory(directory, ec)) {
        ILog::Info("%s: Save directory %s of camera %s was gone, made it again", name.c_str(),
                   directory.c_str(), settings.name.c_str());
    } else if (ec) {
        ILog::Error("%s: Can`t make save directory %s of camera %s again: %s", name.c_str(),
                    directory.c_str(), settings.name.c_str(), ec.message().c_str());
    }
}

void LpEventBuilder::deleteOldFiles(const std::string& savePath) {
    OldFileSweeper::sweep(savePath, accessToDisk);
}

LpEventBuilder::StateGroups LpEventBuilder::stateGroupByRect(std::shared_ptr<FrameWithInfo> frame) const {
    StateGroups groups;
    for (const auto& state : frame->stateDetections) {
        groups[state.idYoloInfo].push_back(&state);
        ILog::Debug("%s: STATE income: %s, id rect: %ld", name.c_str(), state.value.c_str(),
                    static_cast<long>(state.idYoloInfo));
    }
    return groups;
}

void LpEventBuilder::match(std::shared_ptr<FrameWithInfo> frame, History* history,
                           EventGroup::LprMatcher* lptMatcher) {
    const LprGroups groups = lprGroupByRect(frame);
    const StateGroups states = stateGroupByRect(frame);
    const auto createEvent = [this] { return std::make_shared<EventGroup>(&eventGroupSettings); };
    static const std::vector<const StateDetection*> kNoStates;

    std::vector<Detection> detections;
    std::set<uint64_t> matchedObjects;
    for (const auto& [objectId, readings] : groups) {
        auto event = std::dynamic_pointer_cast<EventGroup>(findEvent(history, readings, createEvent));
        if (!event) {
            throw std::logic_error(name +
                                   ": the history of a licence-plate builder holds an event that is not "
                                   "an event group");
        }
        event->appendLPRs(frame, readings, lptMatcher);
        const auto objectStates = states.find(objectId);
        event->appendStates(objectStates == states.end() ? kNoStates : objectStates->second);

        const auto& objects = frame->yoloDetectionsOverROI;
        const auto object = std::find_if(objects.begin(), objects.end(),
                                         [id = objectId](const YoloObjectInfo& o) { return o.id == id; });
        if (object == objects.end()) {
            ILog::Error("%s: Can`t found rect in yoloDetectionsOverROI (size: %lld) by id: %lld",
                        name.c_str(), static_cast<long long>(objects.size()),
                        static_cast<long long>(objectId));
            throw std::runtime_error(
                name + ": Can't find rect in yoloDetectionsOverROI by id=" + std::to_string(objectId));
        }
        detections.push_back({*object, static_cast<uint64_t>(event->id), true});
        matchedObjects.insert(objectId);
        event->personCounter(frame, objectId);
    }
    for (const auto& object : frame->yoloDetectionsOverROI) {
        if (matchedObjects.count(object.id) == 0) {
            detections.push_back({object, 0, false});
        }
    }
    pushDetections(*frame, std::move(detections));
}

void LpEventBuilder::pushDetections(const FrameWithInfo& frame, std::vector<Detection> detections) {
    const auto camera = sources.find(frame.frame->sourceId);
    if (camera == sources.end() || !camera->second->settings.recordEnable) {
        return;
    }
    const auto ring = rectsBufferByCam.find(camera->first);
    if (ring != rectsBufferByCam.end()) {
        ring->second.push({frame.frame->timestamp, std::move(detections)});
    }
}

std::string LpEventBuilder::correctionLPR(const std::string& text, const std::string& state,
                                          CorrectionCache* cache) const {
    return correction_->correctionLPR(text, state, defaults, cache);
}

StateValue LpEventBuilder::correctionState(const StateValue& state) const {
    return PlateCorrection::correctionState(state, defaults);
}

std::string LpEventBuilder::Correct0O(const std::string& text, const std::string& state,
                                      CorrectionCache* cache) const {
    return correction_->Correct0O(text, state, cache);
}
