#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/ChildProcess.h"
#include "tests/platform/video/TestClips.h"
#include "tests/support/TempDir.h"

namespace {

using nlohmann::json;

json configWith(const json& source) {
    return {{"log", {{"file", true}, {"level", 3}, {"sender", "e2e"}}},
            {"webserver", {{"port", 0}}},
            {"sources", json::array({source})}};
}

json fileSource(const std::string& clip, int restart) {
    return {{"name", "cam"},      {"id", 1},
            {"type", "file"},     {"uri", clip},
            {"restart", restart}, {"destinations", json::array()}};
}

// The port the service listens on, from its log ("webserver" port 0 picks a free one).
int waitForPort(const TempDir& dir) {
    const std::string marker = "Web server listens on port ";
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < guard) {
        const auto log = ChildProcess::read(dir.file("qo_core.log"));
        const auto at = log.find(marker);
        if (at != std::string::npos) {
            return std::stoi(log.substr(at + marker.size()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// Polls until the source's status entry reads `state`.
bool waitForSourceState(httplib::Client& client, const std::string& state) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < guard) {
        if (auto result = client.Get("/status"); result && result->status == 200 && !result->body.empty()) {
            const auto status = json::parse(result->body);
            if (status.contains("cam") && status.at("cam") == state) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(QoCoreSourcesProcessTest, ServesTheStateAndTheLatestImageOfAFileSource) {
    TempDir dir;
    std::ofstream(dir.file("config.json")) << configWith(fileSource(testclips::h264Mp4(), 1)).dump();
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    const int port = waitForPort(dir);
    ASSERT_GT(port, 0) << ChildProcess::read(dir.file("qo_core.log"));
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    ASSERT_TRUE(waitForSourceState(client, "working")) << ChildProcess::read(dir.file("qo_core.log"));

    // The first frame may still be on its way once the source reads "working".
    auto image = client.Get("/bin-image/cam/320");
    for (int attempt = 0; attempt < 3000 && !(image && image->status == 200); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        image = client.Get("/bin-image/cam/320");
    }
    ASSERT_TRUE(image);
    ASSERT_EQ(image->status, 200);
    const auto frameTs = std::stoll(image->get_header_value("frame_ts"));
    EXPECT_GT(frameTs, 1600000000000LL);  // epoch milliseconds
    const std::vector<unsigned char> bytes(image->body.begin(), image->body.end());
    const cv::Mat jpeg = cv::imdecode(bytes, cv::IMREAD_COLOR);
    EXPECT_EQ(jpeg.cols, 320);
    EXPECT_EQ(jpeg.rows, 240);

    auto exit = client.Get("/exit");
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->body, "OK");
    EXPECT_EQ(process.wait(), 0);
    const auto log = ChildProcess::read(dir.file("qo_core.log"));
    EXPECT_NE(log.find("stopped producer cam"), std::string::npos) << log;
}

TEST(QoCoreSourcesProcessTest, TheEndOfAFileSourceEndsTheProcess) {
    TempDir dir;
    std::ofstream(dir.file("config.json")) << configWith(fileSource(testclips::h264Mp4Short(), 0)).dump();
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    EXPECT_EQ(process.wait(), 0);
    const auto log = ChildProcess::read(dir.file("qo_core.log"));
    EXPECT_NE(log.find("End of stream: "), std::string::npos) << log;
    // The log is flushed before the process ends, which drains the pipeline first.
    EXPECT_NE(log.find("File source cam has ended: draining the pipeline, then stopping"), std::string::npos)
        << log;
    EXPECT_NE(log.find("drain: done after"), std::string::npos) << log;
    EXPECT_NE(log.find("stopping..."), std::string::npos) << log;
}
