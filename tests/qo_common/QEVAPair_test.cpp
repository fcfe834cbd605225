#include "qo_common/event_poster/QEVAPair.h"

#include <gtest/gtest.h>

namespace {

QEVAPair pairWithPlate() {
    auto event = std::make_unique<QEVAEvent>();
    event->guid = "event-1";
    event->laneName = "lane A";
    auto plate = std::make_shared<PlateDetectionEvent>();
    plate->num = "AB123";
    event->evts.push_back(plate);
    event->frames.push_back(std::make_shared<ek::pipeline::Frame>());
    auto trigger = std::make_unique<QEVATriggerEvent>();
    trigger->triggerId = 42;
    trigger->additional_data = {{"k", "v"}};
    return QEVAPair(std::move(event), std::move(trigger));
}

TEST(QEVAPairTest, CopyWithoutTriggerRecordHasNone) {
    QEVAPair source(std::make_unique<QEVAEvent>(), nullptr);
    source.event->guid = "g";
    QEVAPair copy(source);
    ASSERT_TRUE(copy.event);
    EXPECT_NE(copy.event.get(), source.event.get());
    EXPECT_EQ(copy.event->guid, "g");
    EXPECT_FALSE(copy.triggerEvent);
}

TEST(QEVAPairTest, CopyOwnsItsRecordsButSharesPlatesAndFrames) {
    QEVAPair source = pairWithPlate();
    QEVAPair copy(source);
    ASSERT_TRUE(copy.event && copy.triggerEvent);
    EXPECT_NE(copy.event.get(), source.event.get());
    EXPECT_NE(copy.triggerEvent.get(), source.triggerEvent.get());
    EXPECT_EQ(*copy.triggerEvent, *source.triggerEvent);

    copy.event->laneName = "changed";
    copy.triggerEvent->triggerId = 7;
    EXPECT_EQ(source.event->laneName, "lane A");
    EXPECT_EQ(source.triggerEvent->triggerId, 42);

    copy.event->evts[0]->num = "ZZ999";  // through the shared plate detection
    EXPECT_EQ(source.event->evts[0]->num, "ZZ999");
    EXPECT_EQ(copy.event->frames[0], source.event->frames[0]);
}

TEST(QEVAPairTest, AssignmentCopiesTooAndSurvivesSelfAssignment) {
    QEVAPair source = pairWithPlate();
    QEVAPair target = QEVAPair::makePoison();
    target = source;
    EXPECT_FALSE(target.poison);
    ASSERT_TRUE(target.event);
    EXPECT_NE(target.event.get(), source.event.get());
    EXPECT_EQ(target.event->guid, "event-1");

    auto& self = target;
    target = self;
    ASSERT_TRUE(target.event && target.triggerEvent);
    EXPECT_EQ(target.event->guid, "event-1");
    EXPECT_EQ(target.triggerEvent->triggerId, 42);
}

TEST(QEVAPairTest, PoisonPairCarriesNoRecordsAndCopiesItsFlag) {
    QEVAPair poison = QEVAPair::makePoison();
    EXPECT_TRUE(poison.poison);
    EXPECT_FALSE(poison.event);
    EXPECT_FALSE(poison.triggerEvent);
    QEVAPair copy(poison);
    EXPECT_TRUE(copy.poison);
    EXPECT_FALSE(copy.event);
}

TEST(QEVAPairTest, MoveHandsTheRecordsOver) {
    QEVAPair source = pairWithPlate();
    QEVAEvent* event = source.event.get();
    QEVAPair moved(std::move(source));
    EXPECT_EQ(moved.event.get(), event);
}

}  // namespace
