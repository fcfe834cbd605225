#include "src/components/YoloComponent.h"

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"
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
    // Every key is read before the model is loaded.
    const auto keys = ek::ConfigReader::objectAt(config, "");
    const float threshold = keys.number<float>("treshold", 0.f, 0.f, 1.f);
    const ek::ConfigReader model = keys.object("model");
    const ek::ConfigReader definition = model.object("definition");
    const std::string cacheId = definition.requiredText("cfg", ek::ConfigReader::NonEmpty);
    float extendingWidth = 0.f;
    float extendingHeight = 0.f;
    if (const auto meta = definition.object("content").optionalObject("meta-information")) {
        extendingWidth = meta->number<float>("extending-width", 0.f);
        extendingHeight = meta->number<float>("extending-height", 0.f);
    }
    auto detector = detectorCache.getOrCreate(cacheId, [&] {
        try {
            return createDetector(model.value(), threshold);
        } catch (const ek::ConfigError& e) {
            throw e.under("model");
        }
    });
    p = std::make_unique<Impl>(std::move(detector), cacheId);
    p->extendingWidth = extendingWidth;
    p->extendingHeight = extendingHeight;
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
