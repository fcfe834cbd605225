#include "src/components/YoloComponent.h"

#include "qo_common/logger/log.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "src/components/CacheMap.h"
#include "src/components/YoloBoxFilter.h"

using nlohmann::json;

namespace {

ek::CacheMap<std::string, std::shared_ptr<MultisizeYoloDetector>> detectorCache;

std::shared_ptr<MultisizeYoloDetector> createDetector(const json& model, float threshold) {
    auto detector = std::make_shared<MultisizeYoloDetector>(MultisizeYoloDetector::load(model));
    detector->thresh = threshold;
    cv::Mat black(1000, 1000, CV_8UC3, cv::Scalar::all(0));
    detector->infer(detector->prepare(black), black.size());
    return detector;
}

std::string dump(const YoloObjectInfo& o) {
    return o.toJSON().dump();
}

}  // namespace

struct YoloComponent::Impl {
    std::shared_ptr<MultisizeYoloDetector> myd;
    std::string cacheId;
    float extendingWidth = 0.f;
    float extendingHeight = 0.f;

    Impl(std::shared_ptr<MultisizeYoloDetector> detector, std::string key)
        : myd(std::move(detector)), cacheId(std::move(key)) {}
    // Also runs when the component's constructor fails after the detector was taken.
    ~Impl() { detectorCache.release(cacheId); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
};

YoloComponent::YoloComponent(const json& config) {
    ILog::Debug("Creating YoloComponent");
    float threshold = config.value("treshold", 0.f);
    json model = config.at("model");
    std::string cacheId = model.at("definition").at("cfg").get<std::string>();
    auto detector = detectorCache.getOrCreate(cacheId, [&] { return createDetector(model, threshold); });
    p = std::make_unique<Impl>(std::move(detector), cacheId);
    const json& content = model.at("definition").at("content");
    if (content.is_object() && content.contains("meta-information")) {
        const json& meta = content.at("meta-information");
        p->extendingWidth = meta.value("extending-width", 0.f);
        p->extendingHeight = meta.value("extending-height", 0.f);
    }
    ILog::Debug("YoloComponent: threshold: %0.2f, cacheId: %s", static_cast<double>(p->myd->yoloThresh()),
                p->cacheId.c_str());
}

YoloComponent::~YoloComponent() = default;

std::shared_ptr<MultisizeYoloDetector> YoloComponent::detector() const {
    return p->myd;
}

size_t YoloComponent::cacheUsers(const std::string& cacheId) {
    return detectorCache.users(cacheId);
}

void YoloComponent::prepare(std::shared_ptr<FrameWithInfo> frame) {
    if (frame->poison) {
        return;
    }
    frame->small = p->myd->prepare(frame->frame->image);
}

void YoloComponent::infer(std::shared_ptr<FrameWithInfo> frame) {
    if (frame->poison) {
        return;
    }
    const cv::Mat& image = frame->frame->image;
    auto objects = p->myd->infer(frame->small, image.size());
    if (objects.empty()) {
        ILog::Debug("NO YOLO READs");
    } else {
        ILog::Debug("YOLO READs size: %lld", static_cast<long long>(objects.size()));
    }
    const bool logging = ILog::instance != nullptr;  // the JSON texts are made only for a logger
    std::vector<YoloObjectInfo> all;
    std::vector<YoloObjectInfo> accepted;
    for (const auto& object : objects) {
        auto adjusted = YoloBoxFilter::adjust(object, p->extendingWidth, p->extendingHeight, image.size());
        if (!adjusted) {
            continue;  // no area left: nothing downstream could crop it
        }
        YoloObjectInfo& o = all.emplace_back(*adjusted);
        o.id = all.size() - 1;  // its position in yoloDetectionsOverROI
        switch (YoloBoxFilter::judge(o, frame->plateWidth, frame->roi, skipOtherClasses)) {
            case YoloBoxFilter::Verdict::OtherClass:
                break;
            case YoloBoxFilter::Verdict::PlateWidth:
                if (logging) {
                    ILog::Debug("[plateWidth: %i ...%i] YOLO: %s", frame->plateWidth.first,
                                frame->plateWidth.second, dump(o).c_str());
                }
                break;
            case YoloBoxFilter::Verdict::OutOfRoi:
                if (logging) {
                    ILog::Debug("[out of ROI] YOLO: %s", dump(o).c_str());
                }
                break;
            case YoloBoxFilter::Verdict::Accepted:
                accepted.push_back(o);
                if (logging) {
                    ILog::Debug("[threshold: %0.2f] YOLO: %s", static_cast<double>(p->myd->yoloThresh()),
                                dump(o).c_str());
                }
                break;
        }
    }
    frame->yoloDetectionsOverROI = std::move(all);
    frame->yoloInfo = std::move(accepted);
}
