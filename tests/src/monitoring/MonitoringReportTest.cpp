#include "src/monitoring/MonitoringReport.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "MonitoringFakes.h"

namespace {

using nlohmann::json;

FrameWithInfoPtr frameAt(int64_t timestamp) {
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame->timestamp = timestamp;
    return frame;
}

// One source "cam1" through a balancer and the "yolo" network to the builder "cam1_eb", which
// posts to "poster1".
ek::MonitoringSnapshot pipelineSnapshot() {
    ek::MonitoringSnapshot snapshot;
    snapshot.netFps = 24;

    auto balancer = std::make_shared<balance_queue>(10, false);
    balancer->push(frameAt(1000));
    balancer->push(frameAt(1040));
    balancer->pop();
    balancer->reportProcessTime(52.1);
    snapshot.balancers["cam1"] = balancer;

    snapshot.queues["cam1_eb"] = std::make_shared<ek::PipelineContext::FrameQueue>(2);
    snapshot.queues["yolo"] = std::make_shared<ek::PipelineContext::FrameQueue>(3);
    snapshot.queues["yolo"]->push(frameAt(1080));
    snapshot.queues["yolo_infer"] = std::make_shared<ek::PipelineContext::FrameQueue>(3);
    snapshot.netTimes["yolo"] = 7.44f;
    snapshot.netTimes["yolo_infer"] = 21.0f;

    snapshot.eventQueues["poster1"] = std::make_shared<ek::PipelineContext::EventQueue>(5);
    snapshot.eventQueues["poster1"]->push(QEVAPair());

    snapshot.eventBuilders["cam1_eb"] =
        std::make_shared<MonitoredBuilder>("cam1_eb", "events 3, open 1", json{{"events", 3}, {"open", 1}});

    auto producer = std::make_shared<ek::ProducerStatistics>();
    producer->avgLatency = 180;
    snapshot.producersStats["cam1"] = producer;
    return snapshot;
}

TEST(MonitoringReport, OneStepOfAPipeline) {
    const auto snapshot = pipelineSnapshot();
    EXPECT_EQ(
        ek::MonitoringReport::balancerLines(snapshot),
        (std::vector<std::string>{
            "Balancer: cam1: size 1/10, pushed 2, popped 1, skipped 0, process 52.1 ms, interval 40.0 ms"}));

    std::vector<std::string> builderStatistics;
    const std::string text = ek::MonitoringReport::text(
        snapshot, [&](const std::string& statistics) { builderStatistics.push_back(statistics); });
    EXPECT_EQ(text,
              "NFPS: 24\n"
              "Queues:\n"
              "cam1_eb [0/2]: -- ms,\n"
              "yolo [1/3]: 7.4 ms,\n"
              "yolo_infer [0/3]: 21.0 ms,\n"
              "poster1 [1/5],\n"
              "cam1_eb: events 3, open 1,\n"
              "cam1: AvgLatency = 180 ms \n");
    EXPECT_EQ(builderStatistics, (std::vector<std::string>{R"({"events":3,"open":1})"}));
}

TEST(MonitoringReport, AnEmptyPipelineGivesTheFrameRateAndTheQueuesHeading) {
    ek::MonitoringSnapshot snapshot;
    EXPECT_TRUE(ek::MonitoringReport::balancerLines(snapshot).empty());
    EXPECT_EQ(ek::MonitoringReport::text(snapshot, [](const std::string&) { FAIL() << "no builder"; }),
              "NFPS: 0\nQueues:\n");
}

TEST(MonitoringReport, ABuilderWhoseSummaryThrowsEndsTheReport) {
    auto snapshot = pipelineSnapshot();
    auto builder = std::make_shared<MonitoredBuilder>("a_first", "", json::object());
    builder->failSummary();
    snapshot.eventBuilders["a_first"] = builder;
    EXPECT_THROW(ek::MonitoringReport::text(snapshot, [](const std::string&) {}), std::runtime_error);
}

TEST(MonitoringReport, CompactJsonReplacesInvalidUtf8) {
    const json statistics = {{"camera",
                              "cam\xff"
                              "1"},
                             {"plate",
                              "AB\xc3"
                              "123"}};
    EXPECT_EQ(ek::MonitoringReport::compactJson(statistics),
              "{\"camera\":\"cam\xef\xbf\xbd"
              "1\",\"plate\":\"AB\xef\xbf\xbd"
              "123\"}");
    EXPECT_EQ(ek::MonitoringReport::compactJson(nullptr), "null");
}

}  // namespace
