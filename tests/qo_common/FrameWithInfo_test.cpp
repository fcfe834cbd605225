#include "qo_common/utils/FrameWithInfo.h"

#include <gtest/gtest.h>

#include "qo_common/event_poster/PlateDetectionEvent.h"

namespace {

TEST(FrameWithInfoTest, DefaultFrameHasAnEmptyImageButNeverANullFrame) {
    FrameWithInfo info;
    ASSERT_TRUE(info.frame);
    EXPECT_TRUE(info.frame->image.empty());
    EXPECT_EQ(info.status.load(), FrameWithInfo::NoProcessed);
    EXPECT_FALSE(info.poison);
    EXPECT_FALSE(info.skip);
    EXPECT_EQ(info.processTime, 0.f);
    EXPECT_EQ(info.triggerIds.size(), 0u);
    EXPECT_TRUE(info.pairs.snapshot().empty());
    EXPECT_EQ(info.plateWidth, (std::pair<int32_t, int32_t>{0, 0}));
    EXPECT_TRUE(info.yoloInfo.empty() && info.lprDetections.empty() && info.stateDetections.empty());
}

TEST(FrameWithInfoTest, PoisonFrameIsADefaultFrameMarkedPoison) {
    auto poison = FrameWithInfo::makePoison();
    EXPECT_TRUE(poison->poison);
    ASSERT_TRUE(poison->frame);
    EXPECT_TRUE(poison->frame->image.empty());
}

TEST(FrameWithInfoTest, StatusValuesAreThoseOfTheProtocol) {
    EXPECT_EQ(static_cast<int>(FrameWithInfo::NoProcessed), 0);
    EXPECT_EQ(static_cast<int>(FrameWithInfo::InProccess), 1);
    EXPECT_EQ(static_cast<int>(FrameWithInfo::Processed), 10);
}

TEST(FrameWithInfoTest, ThreadsafeContainersCopyTheirContents) {
    threadsafe::vector ids;
    ids.push_back(3);
    ids.push_back(9);
    threadsafe::vector idsCopy(ids);
    ids.push_back(11);
    EXPECT_EQ(idsCopy.get(), (std::vector<int64_t>{3, 9}));

    threadsafe::map pairs;
    auto frame = std::make_shared<ek::pipeline::Frame>();
    pairs.set(2, frame);
    threadsafe::map pairsCopy;
    pairsCopy = pairs;
    EXPECT_TRUE(pairsCopy.find(2));
    EXPECT_EQ(pairsCopy.get(2), frame);
    EXPECT_EQ(pairsCopy.get(5), nullptr);
}

TEST(FrameWithInfoTest, DefaultPlateDetectionEvent) {
    PlateDetectionEvent plate;
    ASSERT_TRUE(plate.frame);
    EXPECT_TRUE(plate.nontriggered);
    EXPECT_EQ(plate.plateIndex, -1);
    EXPECT_EQ(plate.matchType, LPRMatchType::NoMatch);
    EXPECT_TRUE(plate.plate.empty());
}

}  // namespace
