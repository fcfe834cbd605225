#include "src/components/StateDetectorYoloComponent.h"

#include <algorithm>

#include "qo_common/logger/log.h"
#include "qo_common/utils/Config.h"
#include "qo_common/utils/ConfigReader.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "src/components/CacheMap.h"

using nlohmann::json;

namespace {

ek::CacheMap<std::string, std::shared_ptr<MultisizeYoloDetector>> detectorCache;

const std::map<std::string, CameraType> ImageSourceIds = {{"lpr", CameraType::LPR}, {"ov", CameraType::OV}};

std::set<CameraType> readImageSources(const ek::ConfigReader& model) {
    std::set<CameraType> sources;
    for (const auto& name : model.texts("image-sources")) {
        auto found = ImageSourceIds.find(name);
        if (found != ImageSourceIds.end()) {
            sources.insert(found->second);
        }
    }
    if (sources.empty()) {
        sources.insert(CameraType::OV);
    }
    return sources;
}

std::map<std::string, StateDetectorYoloComponent::ClassSettings> readClassSettings(const std::string& path) {
    std::map<std::string, StateDetectorYoloComponent::ClassSettings> settings;
    const json document = Config::read(path);  // kept: the loop walks a part of it
    try {
        const ek::ConfigReader file(document);
        if (!file.has("classes")) {
            file.fail("classes", "missing, expected an array");
        }
        for (const auto& element : file.elements("classes")) {
            const auto entry = ek::ConfigReader::objectAt(element.value(), element.path());
            // the first entry of a label wins
            settings.emplace(entry.requiredText("label"),
                             StateDetectorYoloComponent::ClassSettings{entry.boolean("color", false)});
        }
    } catch (const ek::ConfigError& e) {
        throw std::runtime_error("class settings " + path + ": " + e.what());
    }
    return settings;
}

}  // namespace

struct StateDetectorYoloComponent::Impl {
    std::shared_ptr<MultisizeYoloDetector> detector;
    bool viewFrameOnly = true;
    std::set<CameraType> imageSources;
    std::map<std::string, ClassSettings> classSettings;
    std::string cacheId;

    Impl(std::shared_ptr<MultisizeYoloDetector> d, std::string key)
        : detector(std::move(d)), cacheId(std::move(key)) {}
    ~Impl() { detectorCache.release(cacheId); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
};

StateDetectorYoloComponent::StateDetectorYoloComponent(const json& config) {
    ILog::Debug("Creating StateDetectorYoloComponent");
    // Every key is read before the model is loaded.
    const auto keys = ek::ConfigReader::objectAt(config, "");
    (void)keys.requiredText("name");
    const ek::ConfigReader model = keys.object("model");
    const ek::ConfigReader definition = model.object("definition");
    const std::string path = definition.requiredText("path");
    const std::string cacheId = definition.requiredText("cfg", ek::ConfigReader::NonEmpty);
    const bool viewFrameOnly = model.boolean("viewFrameOnly", true);
    const auto imageSources = readImageSources(model);
    const ek::ConfigReader files = definition.object("content").object("files");
    const std::string classSettings = files.text("class-settings", "");
    auto detector = detectorCache.getOrCreate(cacheId, [&] {
        try {
            return std::make_shared<MultisizeYoloDetector>(MultisizeYoloDetector::load(model.value()));
        } catch (const ek::ConfigError& e) {
            throw e.under("model");
        }
    });
    p_ = std::make_unique<Impl>(std::move(detector), cacheId);
    p_->viewFrameOnly = viewFrameOnly;
    p_->imageSources = imageSources;
    if (files.has("class-settings")) {
        p_->classSettings = readClassSettings(path + "/" + classSettings);
    }
    warmUp();
}

StateDetectorYoloComponent::~StateDetectorYoloComponent() = default;

void StateDetectorYoloComponent::warmUp() {
    if (!p_->imageSources.count(CameraType::OV)) {
        return;
    }
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame->image = cv::Mat(96, 192, CV_8UC3, cv::Scalar::all(0));
    frame->frame->cameraType = CameraType::OV;
    YoloObjectInfo whole;
    whole.width = 192;
    whole.height = 96;
    frame->yoloInfo.push_back(whole);
    prepare(frame);
    infer(frame);
}

bool StateDetectorYoloComponent::handles(const FrameWithInfo& frame) const {
    return p_->imageSources.count(frame.frame->cameraType) != 0;
}

void StateDetectorYoloComponent::prepare(std::shared_ptr<FrameWithInfo> frame) {
    if (frame->poison || !handles(*frame)) {
        return;
    }
    const cv::Mat& image = frame->frame->image;
    frame->stateDetections.clear();
    for (const auto& object : frame->yoloInfo) {
        // A box without area inside the image cannot be cropped.
        cv::Rect box = object.rect() & cv::Rect(0, 0, image.cols, image.rows);
        if (box.empty()) {
            continue;
        }
        cv::Mat crop = image(box);  // a view
        StateDetection d;
        d.idYoloInfo = object.id;
        d.prepared = p_->detector->prepare(crop);
        d.rect = cv::Rect(0, 0, crop.cols, crop.rows);
        frame->stateDetections.push_back(std::move(d));
    }
}

const YoloObjectInfo* StateDetectorYoloComponent::chooseState(
    std::vector<YoloObjectInfo>& objects, const std::map<std::string, ClassSettings>& classSettings,
    CameraType camera) {
    std::stable_sort(objects.begin(), objects.end(), [](const YoloObjectInfo& a, const YoloObjectInfo& b) {
        return a.detectionConfidence > b.detectionConfidence;
    });
    for (const auto& o : objects) {
        if (o.className.find('_') == std::string::npos) {
            continue;
        }
        auto listed = classSettings.find(o.className);
        if ((listed != classSettings.end() && !listed->second.color) || camera == CameraType::OV) {
            return &o;
        }
    }
    return nullptr;
}

void StateDetectorYoloComponent::infer(std::shared_ptr<FrameWithInfo> frame) {
    // Frames of other camera types were not prepared here: their states belong to other networks.
    if (frame->poison || !handles(*frame)) {
        return;
    }
    std::vector<StateDetection> found;
    for (auto& d : frame->stateDetections) {
        auto objects = p_->detector->infer(d.prepared, d.rect.size());
        d.confidence = 0.f;
        d.classId = -1;
        std::vector<float>().swap(d.prepared);
        const YoloObjectInfo* o = chooseState(objects, p_->classSettings, frame->frame->cameraType);
        if (!o) {
            continue;
        }
        d.confidence = o->detectionConfidence;
        d.value = o->className.substr(0, 2);
        d.classId = o->classId;
        d.rect = o->rect();
        found.push_back(d);
        ILog::Debug("StateDetectorYoloComponent - Found state: %s confidence: %f camera: %i type: %i",
                    d.value.c_str(), static_cast<double>(d.confidence), frame->frame->sourceId,
                    static_cast<int>(frame->frame->cameraType));
    }
    frame->stateDetections = std::move(found);
}

const std::set<CameraType>& StateDetectorYoloComponent::imageSources() const {
    return p_->imageSources;
}

const std::map<std::string, StateDetectorYoloComponent::ClassSettings>&
StateDetectorYoloComponent::classSettings() const {
    return p_->classSettings;
}

std::shared_ptr<MultisizeYoloDetector> StateDetectorYoloComponent::detector() const {
    return p_->detector;
}

size_t StateDetectorYoloComponent::cacheUsers(const std::string& cacheId) {
    return detectorCache.users(cacheId);
}
