#include <gtest/gtest.h>

#include <string>

#include "src/TriggerStatistics.h"

namespace {

TEST(TriggerStatisticsTest, NoTriggerYetGivesEmptyTimesAndZeroCounts) {
    ek::TriggerStatistics stats;
    const auto json = stats.json();
    EXPECT_EQ(json.at("firstTrigger"), "");
    EXPECT_EQ(json.at("lastTrigger"), "");
    EXPECT_FALSE(json.at("currentTime").get<std::string>().empty());
    EXPECT_EQ(json.at("received"), 0);
    EXPECT_EQ(json.at("accepted"), 0);
    EXPECT_EQ(json.at("dropped"), 0);
    EXPECT_EQ(json.at("droppedByReason"), (nlohmann::json{{"noOnlineCameras", 0},
                                                          {"duplicate", 0},
                                                          {"queueOverflow", 0},
                                                          {"threadLimit", 0},
                                                          {"builderNotFound", 0}}));
}

TEST(TriggerStatisticsTest, DroppedIsTheSumOfEveryReason) {
    ek::TriggerStatistics stats;
    stats.droppedNoCameras = 1;
    stats.droppedDuplicate = 2;
    stats.droppedQueueOverflow = 3;
    stats.droppedThreadLimit = 4;
    stats.droppedNoBuilder = 5;
    stats.accepted = 6;
    const auto json = stats.json();
    EXPECT_EQ(json.at("dropped"), 15);
    EXPECT_EQ(json.at("accepted"), 6);
    EXPECT_EQ(json.at("droppedByReason").at("duplicate"), 2);
    EXPECT_EQ(json.at("droppedByReason").at("builderNotFound"), 5);
}

TEST(TriggerStatisticsTest, FirstTriggerStaysWhileLastMoves) {
    ek::TriggerStatistics stats;
    stats.onReceived();
    const int64_t first = stats.firstTriggerTs;
    stats.firstTriggerTs = first - 5000;  // as if the first came earlier
    stats.onReceived();
    EXPECT_EQ(stats.received, 2);
    EXPECT_EQ(stats.firstTriggerTs, first - 5000);
    EXPECT_GE(stats.lastTriggerTs, first);
    const auto json = stats.json();
    EXPECT_NE(json.at("firstTrigger"), json.at("lastTrigger"));
    // Date, time with milliseconds and a zone offset, e.g. 2026-12-10T09:47:08.146+0000.
    EXPECT_EQ(json.at("lastTrigger").get<std::string>().size(), 28u);
}

}  // namespace
