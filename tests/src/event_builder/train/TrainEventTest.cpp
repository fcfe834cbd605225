#include "src/event_builder/TrainEvent.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/src/event_builder/EventFixtures.h"
#include "tests/support/CapturingLog.h"

namespace {

// Frames of 1000 x 500: diagonal 1118.034, so the default reach (20 %) is 223.607 pixels.
const cv::Size kImage{1000, 500};

class TrainEventTest : public ::testing::Test {
  protected:
    TrainEventTest() { settings.eventBuilderName = "train"; }

    std::shared_ptr<FrameWithInfo> frame(int64_t ts, int camera = 1) {
        return fixtures::frame(camera, ts, kImage);
    }

    // A reading of `text` at `position` in a new frame of `camera`.
    std::shared_ptr<LPREvent> reading(int64_t ts, const cv::Rect& position, int camera = 1,
                                      const std::string& text = "AB1234") {
        return fixtures::lprEvent(frame(ts, camera), text, 0.9f, position);
    }

    CapturingLog::Installed capture;
    TrainEventSettings settings;
};

TEST_F(TrainEventTest, SettingsCarryTheTrainDefaultsAndDefinedValuesForTheKeysTheBuilderDoesNotRead) {
    const TrainEventSettings s;
    EXPECT_EQ(s.eventEmitWait, 30000);
    EXPECT_EQ(s.lpForgetInterval, 60000);
    EXPECT_EQ(s.minDetections, 2u);
    EXPECT_EQ(s.maxNumberLpVariance, 15u);
    EXPECT_FLOAT_EQ(s.lpConfidenceVariance, 0.05f);
    EXPECT_EQ(s.reportInterval, 0);
    EXPECT_EQ(s.minDirectionVector, 0);
    EXPECT_EQ(s.minDoorOpenCount, 3);
    EXPECT_EQ(s.maxDoorDistancePercent, 20);
    EXPECT_EQ(s.stationaryPlateMinCount, 3);
    EXPECT_FLOAT_EQ(s.iouThreshold, 0.7f);
    EXPECT_EQ(s.doorRoi, cv::Rect(0, 0, 1000, 1000));
    EXPECT_EQ(s.YoloOpenDoorClassId, 1);
    EXPECT_EQ(s.YoloCloseDoorClassId, 2);
}

struct Door {
    int classId;
    cv::Rect box;
    bool inYoloInfoOnly = false;  // a decoy where no detector puts door classes
};

struct DoorCase {
    std::string name;
    cv::Rect doorRoi;
    cv::Point plate;
    std::vector<Door> doors;
    std::optional<cv::Rect> accepted;     // the door stored, if any
    std::vector<std::string> rejections;  // Debug lines, in order
};

TEST_F(TrainEventTest, DoorSearchTakesTheNearestDoorOfTheDoorClassesInTheRegionAndWithinReach) {
    const cv::Rect whole{0, 0, 1000, 1000};
    const cv::Rect leftHalf{0, 0, 500, 1000};
    const std::vector<DoorCase> cases = {
        {"whole image", whole, {100, 100}, {{1, {150, 120, 50, 80}}}, cv::Rect{150, 120, 50, 80}, {}},
        {"closed doors count too",
         whole,
         {100, 100},
         {{2, {150, 120, 50, 80}}},
         cv::Rect{150, 120, 50, 80},
         {}},
        {"door partly in the region",
         leftHalf,
         {400, 100},
         {{1, {480, 100, 50, 80}}},
         cv::Rect{480, 100, 50, 80},
         {}},
        {"door outside the region",
         leftHalf,
         {400, 100},
         {{1, {600, 100, 50, 80}}},
         std::nullopt,
         {"train: event ID %ID% Reject door 600, 100, 50, 80 0.900 by ROI 0, 0, 500, 500"}},
        {"door in the region but too far",
         whole,
         {0, 0},
         {{1, {300, 400, 50, 80}}},
         std::nullopt,
         {"train: event ID %ID% Reject door 300, 400, 50, 80 0.900  by distance 500.000 > 223.607"}},
        {"the nearest of three",
         whole,
         {100, 100},
         {{1, {130, 100, 10, 10}}, {2, {150, 100, 10, 10}}, {1, {100, 200, 10, 10}}},
         cv::Rect{130, 100, 10, 10},
         {"train: event ID %ID% Reject door 150, 100, 10, 10 0.900  by distance 50.000 > 223.607",
          "train: event ID %ID% Reject door 100, 200, 10, 10 0.900  by distance 100.000 > 223.607"}},
        {"classes 0 and 3 are no doors",
         whole,
         {100, 100},
         {{0, {150, 120, 50, 80}}, {3, {150, 120, 50, 80}}},
         std::nullopt,
         {}},
        {"a door in yoloInfo only", whole, {100, 100}, {{1, {150, 120, 50, 80}, true}}, std::nullopt, {}},
        // 32-bit products would overflow here; the region still starts far left and covers the door.
        {"a region of huge per-mille values",
         {-2000000000, -2000000000, 2147483647, 2147483647},
         {100, 100},
         {{1, {150, 120, 50, 80}}},
         cv::Rect{150, 120, 50, 80},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capture.log->clear();
        settings.doorRoi = c.doorRoi;
        TrainEvent event(&settings);
        auto f = frame(1000);
        for (const auto& door : c.doors) {
            if (door.inYoloInfoOnly) {
                YoloObjectInfo decoy;
                decoy.left = door.box.x;
                decoy.top = door.box.y;
                decoy.width = door.box.width;
                decoy.height = door.box.height;
                decoy.classId = door.classId;
                f->yoloInfo.push_back(decoy);
            } else {
                fixtures::addObject(*f, door.classId, door.box);
            }
        }
        event.addDoorDetection(f, {c.plate.x, c.plate.y, 40, 12});

        if (c.accepted) {
            ASSERT_EQ(event.doorDetections.size(), 1u);
            EXPECT_EQ(event.doorDetections[0].info.rect(), *c.accepted);
        } else {
            EXPECT_TRUE(event.doorDetections.empty());
        }
        std::vector<std::string> expected;
        for (auto line : c.rejections) {
            line.replace(line.find("%ID%"), 4, std::to_string(event.id));
            expected.push_back(line);
        }
        std::vector<std::string> logged;
        for (const auto& line : capture.log->messages(ILog::LevelDebug)) {
            if (line.find("Reject door") != std::string::npos) {
                logged.push_back(line);
            }
        }
        EXPECT_EQ(logged, expected);
        EXPECT_FALSE(event.openDoorFrame.has_value());
    }
}

TEST_F(TrainEventTest, TheDoorCountBeyondMinDoorOpenCountSetsTheActualOpenDoorFrameOnce) {
    TrainEvent event(&settings);
    std::vector<std::shared_ptr<FrameWithInfo>> frames;
    for (int i = 0; i < 6; ++i) {
        auto f = frame(1000 + i);
        fixtures::addObject(*f, 1, {150 + i, 120, 50, 80});
        frames.push_back(f);
        event.addDoorDetection(f, {100, 100, 40, 12});
        if (i < 3) {
            EXPECT_FALSE(event.openDoorFrame.has_value()) << i;
        }
    }
    // The fourth door exceeds 3; later doors are neither stored nor move the frame.
    ASSERT_TRUE(event.openDoorFrame.has_value());
    EXPECT_TRUE(event.openDoorFrame->isActualDetection);
    EXPECT_EQ(event.openDoorFrame->frame, frames[3]->frame);
    ASSERT_EQ(event.doorDetections.size(), 4u);
    EXPECT_EQ(event.doorDetections[3].info.left, 153);
    EXPECT_DOUBLE_EQ(event.doorDetections[0].distance, std::sqrt(50.0 * 50.0 + 20.0 * 20.0));
}

TEST_F(TrainEventTest, AProvisionalFrameOfAStandingPlateIsUpgradedToAnActualOneButNeverTheReverse) {
    TrainEvent event(&settings);
    const cv::Rect plate{100, 100, 40, 12};
    std::vector<std::shared_ptr<LPREvent>> readings;
    for (int i = 0; i < 5; ++i) {
        readings.push_back(reading(1000 + i, plate));
        event.appendLPR(readings.back());
    }
    // Four stored rectangles show a standing plate: the fifth reading's frame stands in.
    ASSERT_TRUE(event.openDoorFrame.has_value());
    EXPECT_FALSE(event.openDoorFrame->isActualDetection);
    EXPECT_EQ(event.openDoorFrame->frame, readings[4]->fwi->frame);
    EXPECT_TRUE(event.doorDetections.empty());

    // A later standing frame does not replace a provisional one.
    event.appendLPR(reading(1010, plate));
    EXPECT_EQ(event.openDoorFrame->frame, readings[4]->fwi->frame);

    std::shared_ptr<FrameWithInfo> fourth;
    for (int i = 0; i < 4; ++i) {
        auto f = frame(2000 + i);
        fixtures::addObject(*f, 2, {120, 100, 50, 80});
        event.appendLPR(fixtures::lprEvent(f, "AB1234", 0.9f, plate));
        fourth = f;
    }
    EXPECT_TRUE(event.openDoorFrame->isActualDetection);
    EXPECT_EQ(event.openDoorFrame->frame, fourth->frame);

    // Neither a standing frame without a door nor more doors take the actual frame's place.
    event.appendLPR(reading(3000, plate));
    auto door = frame(3001);
    fixtures::addObject(*door, 1, {120, 100, 50, 80});
    event.appendLPR(fixtures::lprEvent(door, "AB1234", 0.9f, plate));
    EXPECT_TRUE(event.openDoorFrame->isActualDetection);
    EXPECT_EQ(event.openDoorFrame->frame, fourth->frame);
}

TEST_F(TrainEventTest, AppendLPRsCountsTheFrameOnceAndKeepsEachReadingWithItsObjectAndPosition) {
    TrainEvent event(&settings);
    auto f = frame(1000);
    fixtures::addReading(*f, "AB1234", 0.9f, 7, {10, 20, 30, 40});
    fixtures::addReading(*f, "AB1235", 0.8f, 7, {11, 21, 31, 41});
    event.appendLPRs(f, fixtures::readingsOf(*f));

    EXPECT_EQ(event.statistics.get(), (nlohmann::json{{"duration", 0}, {"cam1", {{"numberFrames", 1}}}}));
    EXPECT_EQ(event.counterFrames, 1u);
    ASSERT_EQ(event.histogram.size(), 2u);
    const auto& stored = event.histogram.at("AB1235").second.at(1);
    EXPECT_EQ(stored->yoloId, 7u);
    EXPECT_EQ(stored->position, cv::Rect(11, 21, 31, 41));
    EXPECT_FLOAT_EQ(stored->value.confidence, 0.8f);
    EXPECT_EQ(stored->fwi, f);
    EXPECT_FALSE(stored->guid.empty());
    EXPECT_NE(stored->guid, event.histogram.at("AB1234").second.at(1)->guid);
    EXPECT_EQ(event.lastFrame, f->frame);
    EXPECT_TRUE(capture.log->contains("train: append lpr AB1235 to event ID " + std::to_string(event.id),
                                      ILog::LevelDebug));
}

// ---- the lifecycle of one event ----

TEST_F(TrainEventTest, AStandingPlateConfirmsAtTheUpdateAfterItsFourthReadingWhenMinDetectionsIsMet) {
    TrainEvent event(&settings);
    const cv::Rect plate{100, 100, 40, 12};
    for (int i = 0; i < 4; ++i) {
        event.appendLPR(reading(1000 + 100 * i, plate));
        EXPECT_EQ(event.processingState, EventBase::Create) << i;
        if (i < 3) {
            event.update(1000 + 100 * i);
            EXPECT_EQ(event.processingState, EventBase::Create) << i;
        }
    }
    EXPECT_EQ(event.rectsForStationary.at(1).size(), 4u);
    event.update(1300);
    EXPECT_EQ(event.processingState, EventBase::Confirm);
    EXPECT_EQ(event.confirmTimestamp, 1300);
    EXPECT_FALSE(event.needReport);
    EXPECT_TRUE(capture.log->contains("train: update status event to: Confirm", ILog::LevelDebug));
}

TEST_F(TrainEventTest, WithoutMinDetectionsTheFifthStandingReadingConfirmsInAppendLPR) {
    settings.minDetections = 50;
    TrainEvent event(&settings);
    const cv::Rect plate{100, 100, 40, 12};
    for (int i = 0; i < 4; ++i) {
        event.appendLPR(reading(1000 + i, plate));
        event.update(1000 + i);
    }
    EXPECT_EQ(event.processingState, EventBase::Create);
    event.appendLPR(reading(1004, plate));
    EXPECT_EQ(event.processingState, EventBase::Confirm);
    EXPECT_EQ(event.rectsForStationary.at(1).size(), 4u);  // the confirming reading is not stored
    EXPECT_TRUE(capture.log->contains(
        "train: event ID " + std::to_string(event.id) + " change status to Confirm", ILog::LevelDebug));
}

TEST_F(TrainEventTest, AMovingPlateNeverConfirmsAndIsIgnoredAfterTheForgetInterval) {
    TrainEvent event(&settings);
    for (int i = 0; i < 20; ++i) {
        event.appendLPR(reading(1000 + i, {100 + 50 * i, 100, 40, 12}));
        event.update(1000 + i);
        ASSERT_EQ(event.processingState, EventBase::Create) << i;
    }
    event.update(1019 + settings.lpForgetInterval);
    EXPECT_EQ(event.processingState, EventBase::Create);
    event.update(1020 + settings.lpForgetInterval);
    EXPECT_EQ(event.processingState, EventBase::Ignored);
    EXPECT_FALSE(event.needReport);
    EXPECT_FALSE(event.openDoorFrame.has_value());
}

TEST_F(TrainEventTest, AConfirmedEventAsksForItsReportAfterEventEmitWaitOfSilenceOnlyWhileUnreported) {
    settings.eventEmitWait = 1000;
    TrainEvent event(&settings);
    for (int i = 0; i < 4; ++i) {
        event.appendLPR(reading(1000 + i, {100, 100, 40, 12}));
    }
    event.update(1003 + 5000);  // confirms; a report is not asked for in the same call
    ASSERT_EQ(event.processingState, EventBase::Confirm);
    EXPECT_FALSE(event.needReport);
    event.update(1003 + 1000);
    EXPECT_FALSE(event.needReport);
    event.update(1003 + 1001);
    EXPECT_TRUE(event.needReport);

    event.needReport = false;
    event.reportTimestamp = 99;
    event.update(1003 + 2000);
    EXPECT_FALSE(event.needReport);
    event.update(1003 + settings.lpForgetInterval + 1);
    EXPECT_EQ(event.processingState, EventBase::Finish);
    EXPECT_TRUE(event.needReport);  // the builder clears it without a second report
}

// ---- direction ----

struct DirectionCase {
    std::string name;
    std::vector<std::pair<int, cv::Rect>> readings;  // camera, position
    float iouThreshold;
    size_t kept;  // positions kept, all cameras
    int direction;
};

TEST_F(TrainEventTest, DirectionIsTheMajorityOfTheHorizontalStepsOfEachCamera) {
    auto at = [](int x) { return cv::Rect(x, 100, 10, 10); };
    const std::vector<DirectionCase> cases = {
        {"100, 90, 80, 85", {{1, at(100)}, {1, at(90)}, {1, at(80)}, {1, at(85)}}, 0.7f, 4, 1},
        {"rising x", {{1, at(10)}, {1, at(30)}, {1, at(50)}}, 0.7f, 3, -1},
        {"a tie", {{1, at(100)}, {1, at(90)}, {1, at(95)}}, 0.7f, 3, 0},
        {"one position", {{1, at(100)}, {1, at(100)}}, 0.7f, 1, 0},
        {"no position", {}, 0.7f, 0, 0},
        // 7 of 10 pixels: IoU 0.7 exactly is not new, 6 of 10 is.
        {"IoU at the threshold", {{1, {0, 0, 10, 1}}, {1, {0, 0, 7, 1}}}, 0.7f, 1, 0},
        {"IoU below the threshold", {{1, {0, 0, 10, 1}}, {1, {0, 0, 6, 1}}}, 0.7f, 2, 0},
        {"IoU 0.5 at 0.5", {{1, {0, 0, 30, 10}}, {1, {10, 0, 30, 10}}}, 0.5f, 1, 0},
        {"IoU 0.46 at 0.5", {{1, {0, 0, 30, 10}}, {1, {11, 0, 30, 10}}}, 0.5f, 2, -1},
        // Alone each camera moves toward smaller x; a shared list would vote the jumps between them.
        {"two interleaved cameras",
         {{1, at(100)}, {2, at(500)}, {1, at(90)}, {2, at(480)}, {1, at(80)}, {2, at(460)}},
         0.7f,
         6,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings.iouThreshold = c.iouThreshold;
        TrainEvent event(&settings);
        int64_t ts = 1000;
        for (const auto& [camera, position] : c.readings) {
            event.appendPlateForDetectDirection(reading(++ts, position, camera));
        }
        size_t kept = 0;
        for (const auto& [camera, rects] : event.rectsForDirection) {
            kept += rects.size();
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(event.detectDirection(), c.direction);
    }
}

TEST_F(TrainEventTest, AStandingPlateSeenByOneCameraStandsWhatEverTheOtherCameraShows) {
    settings.minDetections = 50;
    TrainEvent event(&settings);
    for (int i = 0; i < 4; ++i) {
        event.appendLPR(reading(1000 + 2 * i, {100, 100, 40, 12}, 1));
        event.appendLPR(reading(1001 + 2 * i, {100 + 60 * i, 300, 40, 12}, 2));
    }
    EXPECT_TRUE(event.detectStationaryPlate());
    TrainEvent moving(&settings);
    for (int i = 0; i < 6; ++i) {
        moving.appendLPR(reading(1000 + i, {100 + 60 * i, 300, 40, 12}, 2));
    }
    EXPECT_FALSE(moving.detectStationaryPlate());
}

TEST_F(TrainEventTest, ACopySharesTheFramesAndKeepsTheBookkeeping) {
    TrainEvent event(&settings);
    for (int i = 0; i < 5; ++i) {
        event.appendLPR(reading(1000 + i, {100, 100, 40, 12}));
    }
    {
        std::lock_guard<std::mutex> lock(event.statistics.mtx);
        event.statistics.durationEvent = 77;
    }
    const TrainEvent copy(event);
    EXPECT_EQ(copy.id, event.id);
    EXPECT_EQ(copy.lastFrame, event.lastFrame);
    ASSERT_TRUE(copy.openDoorFrame.has_value());
    EXPECT_EQ(copy.openDoorFrame->frame, event.openDoorFrame->frame);
    EXPECT_EQ(copy.rectsForStationary, event.rectsForStationary);
    EXPECT_EQ(copy.statistics.get(), event.statistics.get());
    EXPECT_EQ(&copy.trainSettings(), &settings);
}

}  // namespace
