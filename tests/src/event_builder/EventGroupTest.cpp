#include "src/event_builder/Event.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "tests/src/event_builder/EventFixtures.h"

namespace {

constexpr int kVehicle = 1;
constexpr int kPerson = 2;
constexpr int kPlate = 0;

EventGroupSettings personSettings(bool drawRects = false) {
    EventGroupSettings settings;
    settings.eventBuilderName = "lane-builder";
    settings.vehicleClassId = kVehicle;
    settings.personClassId = kPerson;
    settings.showPersonImage = true;
    settings.showPersonRects = drawRects;
    return settings;
}

// A frame with one vehicle, a plate on it and `persons` person boxes inside the vehicle; returns
// the frame and the plate's object id through `plateId`.
std::shared_ptr<FrameWithInfo> carWithPersons(int64_t ts, int persons, uint64_t& plateId) {
    auto fwi = fixtures::frame(1, ts, {320, 240});
    fixtures::addObject(*fwi, kVehicle, {100, 100, 120, 80});
    plateId = fixtures::addObject(*fwi, kPlate, {140, 160, 40, 12});
    for (int i = 0; i < persons; ++i) {
        fixtures::addObject(*fwi, kPerson, {105 + 30 * i, 105, 20, 40});
    }
    return fwi;
}

TEST(EventGroupTest, AppendLPRsMakesReadingsAndCountsTheFrameOnce) {
    EventGroupSettings settings;
    EventGroup event(&settings);
    auto fwi = fixtures::frame(1, 1000);
    fixtures::addReading(*fwi, "AB123", 0.9f, 4, {5, 6, 70, 20});
    fixtures::addReading(*fwi, "AB128", 0.7f, 4);
    fixtures::addReading(*fwi, "AB123", 0.8f, 5);  // a second object of the same frame
    fwi->lprDetections[0].matchType = LPRMatchType::SyntaxExact;
    auto readings = fixtures::readingsOf(*fwi);
    event.appendLPRs(fwi, {readings[0], readings[1]}, nullptr);

    EXPECT_EQ(event.statistics.numberFrames.at("cam1"), 1);
    EXPECT_EQ(event.counterFrames, 1u);
    ASSERT_EQ(event.histogram.size(), 2u);
    const auto& reading = event.histogram.at("AB123").second.at(1);
    EXPECT_EQ(reading->fwi, fwi);
    EXPECT_EQ(reading->yoloId, 4u);
    EXPECT_EQ(reading->position, cv::Rect(5, 6, 70, 20));
    EXPECT_EQ(reading->value.confidence, 0.9f);
    EXPECT_EQ(reading->value.matchType, LPRMatchType::SyntaxExact);
    EXPECT_FALSE(reading->guid.empty());
    EXPECT_NE(reading->guid, event.histogram.at("AB128").second.at(1)->guid);

    // A second object of the same frame joining the same event counts the frame again.
    event.appendLPRs(fwi, {readings[2]}, nullptr);
    EXPECT_EQ(event.statistics.numberFrames.at("cam1"), 2);
    EXPECT_EQ(event.counterFrames, 1u);
}

TEST(EventGroupTest, MatcherKeepsTheEventsMostConfidentReadingPerFrame) {
    EventGroupSettings settings;
    EventGroup event(&settings);
    auto fwi = fixtures::frame(1, 1000);
    fixtures::addReading(*fwi, "AB123", 0.7f, 0);
    fixtures::addReading(*fwi, "AB128", 0.9f, 0);
    fixtures::addReading(*fwi, "AB129", 0.8f, 0);
    EventGroup::LprMatcher matcher;
    event.appendLPRs(fwi, fixtures::readingsOf(*fwi), &matcher);
    ASSERT_EQ(matcher.size(), 1u);
    ASSERT_EQ(matcher.at(&event).size(), 1u);
    EXPECT_EQ(matcher.at(&event).at(fwi.get())->lpr(), "AB128");
}

TEST(EventGroupTest, BeautifulReadingIsTheOneNearestTheConfiguredRow) {
    EventGroupSettings settings;
    settings.positionBeautifulFrame = 0.67f;  // 1080 rows: row 723
    EventGroup event(&settings);
    auto frame = fixtures::frame(1, 1000, {1920, 1080});
    auto above = fixtures::lprEvent(frame, "AB123", 0.9f, {0, 700, 40, 12});
    auto below = fixtures::lprEvent(frame, "AB123", 0.9f, {0, 746, 40, 12});
    auto nearer = fixtures::lprEvent(frame, "AB123", 0.9f, {0, 724, 40, 12});
    event.appendLPR(above);
    EXPECT_EQ(event.beautifulFrames.at(1), above);
    event.appendLPR(below);  // as far from the row: the first stays
    EXPECT_EQ(event.beautifulFrames.at(1), above);
    event.appendLPR(nearer);
    EXPECT_EQ(event.beautifulFrames.at(1), nearer);

    auto otherCamera =
        fixtures::lprEvent(fixtures::frame(2, 1000, {1920, 1080}), "AB123", 0.1f, {0, 0, 4, 4});
    event.appendLPR(otherCamera);
    EXPECT_EQ(event.beautifulFrames.at(2), otherCamera);
    EXPECT_EQ(event.histogram.at("AB123").first, 4u);  // the base bookkeeping ran too
}

TEST(EventGroupTest, StatesAreCountedChosenAndEvicted) {
    EventGroupSettings settings;
    EventGroup event(&settings);
    EXPECT_EQ(event.state().value, "");
    EXPECT_EQ(event.state().confidence, 0.f);
    EXPECT_EQ(event.state().classId, -1);

    auto fwi = fixtures::frame(1, 1000);
    fixtures::addState(*fwi, "NY", 0.8f, 3);
    fixtures::addState(*fwi, "NY", 0.9f, 4);
    fixtures::addState(*fwi, "NJ", 0.95f, 5);
    event.appendStates(fixtures::statesOf(*fwi));
    EXPECT_EQ(event.histStates.at("NY").first, 2u);
    EXPECT_EQ(event.histStates.at("NY").second.classId, 4);  // the more confident detection
    settings.lpConfidenceVariance = 0.2f;
    EXPECT_EQ(event.state().value, "NY");  // both in the band, NY is more frequent
    settings.lpConfidenceVariance = 0.01f;
    EXPECT_EQ(event.state().value, "NJ");
}

TEST(EventGroupTest, StateEvictionWithRoomForOneLabel) {
    struct Case {
        float secondConfidence;
        const char* kept;
    };
    for (const auto& c : std::vector<Case>{{0.9f, "TX"}, {0.7f, "OK"}, {0.8f, "TX"}}) {
        EventGroupSettings settings;
        settings.maxNumberStateVariance = 1;
        EventGroup event(&settings);
        event.appendState({"OK", 0.8f, -1});
        event.appendState({"TX", c.secondConfidence, -1});
        ASSERT_EQ(event.histStates.size(), 1u) << c.secondConfidence;
        EXPECT_EQ(event.histStates.begin()->first, c.kept) << c.secondConfidence;
    }
}

TEST(EventGroupTest, PersonCounterKeepsTheFrameWithTheMostPersons) {
    auto settings = personSettings();
    EventGroup event(&settings);
    uint64_t plate = 0;
    auto firstTwo = carWithPersons(1000, 2, plate);
    event.personCounter(firstTwo, plate);
    EXPECT_EQ(event.personNumber, 2);
    ASSERT_NE(event.personsFrame, nullptr);
    EXPECT_EQ(event.personsFrame->guid, firstTwo->frame->guid);
    EXPECT_EQ(event.personDetections.size(), 2u);

    auto secondTwo = carWithPersons(1040, 2, plate);
    event.personCounter(secondTwo, plate);
    EXPECT_EQ(event.personsFrame->guid, firstTwo->frame->guid);

    auto three = carWithPersons(1080, 3, plate);
    event.personCounter(three, plate);
    EXPECT_EQ(event.personNumber, 3);
    EXPECT_EQ(event.personsFrame->guid, three->frame->guid);
    EXPECT_EQ(event.statistics.numberPersonFrames.at("cam1"), 3);
}

TEST(EventGroupTest, PersonCounterCasesThatCountNothing) {
    uint64_t plate = 0;
    {
        EventGroupSettings settings = personSettings();
        settings.showPersonImage = false;
        EventGroup event(&settings);
        event.personCounter(carWithPersons(1000, 2, plate), plate);
        EXPECT_TRUE(event.statistics.numberPersonFrames.empty());
        EXPECT_EQ(event.personsFrame, nullptr);
    }
    auto settings = personSettings();
    {
        EventGroup event(&settings);
        auto fwi = fixtures::frame(1, 1000, {320, 240});
        fixtures::addObject(*fwi, kVehicle, {0, 0, 50, 50});
        plate = fixtures::addObject(*fwi, kPlate, {200, 200, 40, 12});  // on no vehicle
        fixtures::addObject(*fwi, kPerson, {10, 10, 10, 10});
        event.personCounter(fwi, plate);
        EXPECT_TRUE(event.statistics.numberPersonFrames.empty());
        event.personCounter(fwi, 99);  // an object id the frame does not have
        EXPECT_TRUE(event.statistics.numberPersonFrames.empty());
    }
    {
        EventGroup event(&settings);
        auto fwi = fixtures::frame(1, 1000, {320, 240});
        fixtures::addObject(*fwi, kVehicle, {100, 100, 120, 80});
        plate = fixtures::addObject(*fwi, kPlate, {140, 160, 40, 12});
        fixtures::addObject(*fwi, kPerson, {220, 100, 20, 40});  // touches the vehicle's right edge
        fixtures::addObject(*fwi, kPerson, {100, 60, 20, 40});   // touches its top edge
        event.personCounter(fwi, plate);
        EXPECT_EQ(event.statistics.numberPersonFrames.at("cam1"), 1);  // a vehicle was found
        EXPECT_EQ(event.personNumber, 0);
        EXPECT_EQ(event.personsFrame, nullptr);
    }
}

TEST(EventGroupTest, PersonsAreThoseOfTheVehicleOverlappingThePlateMost) {
    auto settings = personSettings();
    EventGroup event(&settings);
    auto fwi = fixtures::frame(1, 1000, {640, 480});
    fixtures::addObject(*fwi, kVehicle, {0, 0, 150, 150});    // overlaps the plate a little
    fixtures::addObject(*fwi, kVehicle, {120, 0, 200, 150});  // overlaps it most
    auto plate = fixtures::addObject(*fwi, kPlate, {140, 100, 40, 12});
    fixtures::addObject(*fwi, kPerson, {10, 10, 20, 40});   // in the first vehicle only
    fixtures::addObject(*fwi, kPerson, {200, 10, 20, 40});  // in the second
    fixtures::addObject(*fwi, kPerson, {260, 10, 20, 40});  // in the second
    event.personCounter(fwi, plate);
    EXPECT_EQ(event.personNumber, 2);
    EXPECT_EQ(event.personDetections, (std::vector<cv::Rect>{{200, 10, 20, 40}, {260, 10, 20, 40}}));
}

TEST(EventGroupTest, PersonBoxesAreDrawnOnACopyNeverOnThePipelineFrame) {
    auto settings = personSettings(true);
    EventGroup event(&settings);
    uint64_t plate = 0;
    auto fwi = carWithPersons(1000, 2, plate);
    const cv::Mat before = fwi->frame->image.clone();
    event.personCounter(fwi, plate);
    ASSERT_NE(event.personsFrame, nullptr);
    EXPECT_EQ(cv::norm(fwi->frame->image, before, cv::NORM_INF), 0.0);
    EXPECT_NE(event.personsFrame->image.data, fwi->frame->image.data);
    const auto& drawn = event.personsFrame->image;
    EXPECT_EQ(drawn.at<cv::Vec3b>(105, 105), cv::Vec3b(0, 255, 0));  // corner of the first box
    EXPECT_EQ(drawn.at<cv::Vec3b>(125, 115), cv::Vec3b(0, 0, 0));    // inside it: not filled
}

TEST(EventGroupTest, CopiesKeepTheIdShareReadingsAndGetFreshStatistics) {
    auto settings = personSettings();
    EventGroup event(&settings);
    auto fwi = fixtures::frame(1, 1000);
    fixtures::addReading(*fwi, "AB123", 0.9f);
    event.appendLPRs(fwi, fixtures::readingsOf(*fwi), nullptr);
    event.appendState({"NY", 0.9f, -1});
    event.statistics.durationEvent = 250;

    EventGroup copy(event);
    EXPECT_EQ(copy.id, event.id);
    EXPECT_EQ(copy.histogram.at("AB123").second.at(1), event.histogram.at("AB123").second.at(1));
    EXPECT_EQ(copy.state().value, "NY");
    EXPECT_EQ(copy.statistics.get(), event.statistics.get());
    {
        std::lock_guard<std::mutex> held(event.statistics.mtx);
        ASSERT_TRUE(copy.statistics.mtx.try_lock());
        copy.statistics.mtx.unlock();
    }
    copy.histogram.clear();
    copy.statistics.numberFrames["cam9"] = 1;
    EXPECT_EQ(event.histogram.size(), 1u);
    EXPECT_FALSE(event.statistics.numberFrames.count("cam9"));

    EventGroup assigned(&settings);
    assigned = event;
    EXPECT_EQ(assigned.id, event.id);
    EventGroup moved(std::move(assigned));
    EXPECT_EQ(moved.id, event.id);
    EXPECT_EQ(moved.statistics.get(), event.statistics.get());
}

TEST(EventGroupTest, StatisticsObjectNestsPersonFramesUnderTheirCamera) {
    EventGroupStatistics statistics;
    statistics.durationEvent = 40;
    statistics.numberFrames["cam1"] = 3;
    statistics.numberPersonFrames["cam1"] = 2;
    statistics.numberPersonFrames["cam2"] = 1;
    EXPECT_EQ(statistics.get(), nlohmann::json::parse(R"({"duration":40,
        "cam1":{"numberFrames":3,"numberPersonFrames":2},"cam2":{"numberPersonFrames":1}})"));
}

}  // namespace
