#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>

#include "qo_common/event_poster/QEVAEvent.h"

// A full event as the builders make one: two readings on two cameras, their frames (640x360,
// one colour each), plate crops, a person box, a clip, a region and a trigger with extra data.
inline std::shared_ptr<ek::pipeline::Frame> sampleFrame(const std::string& guid, int srcId,
                                                        cv::Scalar colour) {
    auto frame = std::make_shared<ek::pipeline::Frame>(cv::Mat(360, 640, CV_8UC3, colour));
    frame->guid = guid;
    frame->sourceId = srcId;
    frame->cameraName = "cam" + std::to_string(srcId);
    frame->timestamp = 1718000000400 + srcId;
    return frame;
}

inline std::shared_ptr<PlateDetectionEvent> samplePlate(const std::string& num, float confidence,
                                                        const std::shared_ptr<ek::pipeline::Frame>& frame) {
    auto plate = std::make_shared<PlateDetectionEvent>();
    plate->num = num;
    plate->confidence = confidence;
    plate->guid = "reading-" + num;
    plate->src = frame->cameraName;
    plate->srcId = frame->sourceId;
    plate->frameGuid = frame->guid;
    plate->frame = frame;
    plate->ts = frame->timestamp;
    plate->plate = cv::Mat(30, 120, CV_8UC3, cv::Scalar(240, 240, 240));
    plate->state = "DE";
    plate->stateConfidence = 0.75f;
    plate->matchType = LPRMatchType::SyntaxExact;
    plate->plateIndex = 0;
    YoloObjectInfo box;
    box.left = 100;
    box.top = 200;
    box.width = 120;
    box.height = 30;
    plate->yoloInfo.push_back(box);
    return plate;
}

inline QEVAEvent sampleEvent() {
    QEVAEvent event;
    event.guid = "5b0c3f4e-8d1a-4a57-9a0e-2c1f0e3b7d21";
    event.ts = 1718000000000;
    event.laneId = 7;
    event.laneName = "north";
    event.motion_direction = 1.f;
    event.person_number = 1;
    event.personDetections.push_back(cv::Rect(10, 20, 30, 60));
    auto f1 = sampleFrame("frame-1", 1, cv::Scalar(200, 0, 0));
    auto f2 = sampleFrame("frame-2", 2, cv::Scalar(0, 200, 0));
    event.evts.push_back(samplePlate("AB123CD", 0.93f, f1));
    event.evts.push_back(samplePlate("AB123CE", 0.81f, f2));
    event.frames = {f1, f2};
    event.videos[1] = "clip-1";
    event.roi[1] = {0.f, 0.f, 1.f, 0.f, 1.f, 1.f, 0.f, 1.f};
    event.trigger.laneId = 7;
    event.trigger.triggerId = 42;
    event.trigger.triggerTimestamp = 1718000000000;
    event.trigger.triggerGuid = "trigger-guid";
    event.trigger.eventId = 5;
    event.trigger.additional_data.push_back({"gate", "3"});
    return event;
}
