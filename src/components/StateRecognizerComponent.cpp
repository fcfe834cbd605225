#include "src/components/StateRecognizerComponent.h"

#include "qo_common/logger/log.h"
#include "qo_common/staterecognizer/IStateRecognizer.h"
#include "qo_common/utils/ConfigReader.h"

using nlohmann::json;

struct StateRecognizerComponent::Impl {
    std::shared_ptr<IStateRecognizer> detector;
};

StateRecognizerComponent::StateRecognizerComponent(const json& config) : p_(std::make_unique<Impl>()) {
    ILog::Debug("Creating StateRecognizerComponent");
    const auto keys = ek::ConfigReader::objectAt(config, "");
    const ek::ConfigReader definition = keys.object("model").object("definition");
    const std::string path = definition.requiredText("path");
    threshold = keys.number<float>("threshold", 0.5f, 0.f, 1.f);
    const ek::ConfigReader files = definition.object("content").object("files");
    const std::string configName = files.requiredText("config", ek::ConfigReader::NonEmpty);
    const std::string weightsName = files.requiredText("weights", ek::ConfigReader::NonEmpty);
    const std::string namesName = files.requiredText("class-names", ek::ConfigReader::NonEmpty);
    ILog::Debug("StateRecognizer - %s/%s, %s/%s, %s/%s", path.c_str(), configName.c_str(), path.c_str(),
                weightsName.c_str(), path.c_str(), namesName.c_str());
    p_->detector =
        createStateRecognizer(path + "/" + configName, path + "/" + weightsName, path + "/" + namesName);

    auto warmUp = std::make_shared<FrameWithInfo>();
    LPRDetection reading;
    reading.plate = cv::Mat(96, 192, CV_8UC3, cv::Scalar::all(0));
    warmUp->lprDetections.push_back(reading);
    prepare(warmUp);
    infer(warmUp);
}

StateRecognizerComponent::~StateRecognizerComponent() = default;

void StateRecognizerComponent::prepare(std::shared_ptr<FrameWithInfo> frame) {
    frame->stateDetections.clear();
    for (const auto& reading : frame->lprDetections) {
        StateDetection d;
        d.idYoloInfo = reading.idYoloInfo;
        d.prepared = p_->detector->prepare(reading.plate);
        d.rect = cv::Rect(0, 0, reading.plate.cols, reading.plate.rows);
        frame->stateDetections.push_back(std::move(d));
    }
}

void StateRecognizerComponent::infer(std::shared_ptr<FrameWithInfo> frame) {
    if (frame->poison) {
        return;
    }
    for (auto& d : frame->stateDetections) {
        auto [label, confidence] = p_->detector->recognize(d.prepared, threshold);
        d.value = label;
        d.confidence = confidence;
        d.classId = -1;
        ILog::Debug("StateRecognizerComponent Found state %s, %f camera: %i type: %i", d.value.c_str(),
                    static_cast<double>(d.confidence), frame->frame->sourceId,
                    static_cast<int>(frame->frame->cameraType));
        std::vector<float>().swap(d.prepared);
    }
}
