#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "qo_common/video/Packet.h"
#include "src/PipelineContext.h"
#include "src/event_builder/NonTriggeredBuilder.h"
#include "tests/src/FakeVideoSource.h"
#include "tests/support/TempDir.h"

// What the non-triggered builder tests share: a context with a capturing event queue, lane cameras
// that may hand out real encoded packets, frames carrying plate readings, and a plate catalog.
namespace nt {

using nlohmann::json;

// One plate reading on its own YOLO object.
struct Plate {
    std::string text;
    float confidence = 0.9f;
    cv::Rect box{40, 100, 64, 16};
    uint64_t objectId = 0;
};

inline std::shared_ptr<FrameWithInfo> frameOf(int camera, int64_t ts, const std::vector<Plate>& plates = {},
                                              FrameWithInfo::Status status = FrameWithInfo::NoProcessed) {
    auto f = std::make_shared<FrameWithInfo>();
    f->frame->image = cv::Mat(240, 320, CV_8UC3, cv::Scalar(30, 60, 90));
    f->frame->guid = CommonUtils::genGuid();
    f->frame->sourceId = camera;
    f->frame->cameraName = "cam" + std::to_string(camera);
    f->frame->cameraType = CameraType::LPR;
    f->frame->timestamp = ts;
    f->status = status;
    for (const auto& p : plates) {
        YoloObjectInfo o;
        o.id = p.objectId;
        o.left = p.box.x;
        o.top = p.box.y;
        o.width = p.box.width;
        o.height = p.box.height;
        o.className = "plate";
        o.detectionConfidence = 0.8f;
        f->yoloDetectionsOverROI.push_back(o);
        f->yoloInfo.push_back(o);
        LPRDetection d;
        d.value = p.text;
        d.confidence = p.confidence;
        d.idYoloInfo = p.objectId;
        d.r = p.box;
        f->lprDetections.push_back(d);
    }
    return f;
}

// Every video packet of a file in decode order, stamped with base + its presentation time in ms
// (the frame time) + correctionTs, as a camera's packet buffer hands them out.
struct ClipPackets {
    std::vector<std::shared_ptr<Packet>> packets;  // decode order
    std::vector<int64_t> frameTimes;               // presentation order
};

inline ClipPackets readClip(const std::string& path, int64_t base, int correctionTs) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    std::shared_ptr<AVFormatContext> input(raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        throw std::runtime_error("no stream info in " + path);
    }
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVStream* stream = input->streams[index];
    ClipPackets out;
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            const int64_t ms = av_rescale_q(packet->pts, stream->time_base, AVRational{1, 1000});
            out.packets.push_back(
                std::make_shared<Packet>(packet.get(), base + ms + correctionTs, stream, input));
            out.frameTimes.push_back(base + ms);
        }
        av_packet_unref(packet.get());
    }
    std::sort(out.frameTimes.begin(), out.frameTimes.end());
    return out;
}

// A lane camera whose packet buffer holds a fixed list of packets.
class RecordingSource : public FakeVideoSource {
  public:
    RecordingSource(const std::string& name, int id, int laneId) : FakeVideoSource(name, id, laneId) {}

    std::vector<std::shared_ptr<Packet>> getEncodedFrames(int64_t from, int64_t to) override {
        ++requests;
        lastFrom = from;
        lastTo = to;
        if (!packetFailure.empty()) {
            throw std::runtime_error(packetFailure);
        }
        return packets;
    }
    uint64_t getSizeBufferFrames() const override { return bufferFrames; }

    std::vector<std::shared_ptr<Packet>> packets;
    std::string packetFailure;  // thrown by getEncodedFrames when not empty
    uint64_t bufferFrames = 100;
    std::atomic<int> requests{0};
    std::atomic<int64_t> lastFrom{0};
    std::atomic<int64_t> lastTo{0};
};

// A context with one event queue "sink" that the tests read, a plate catalog, and the lane's cameras.
class Lane {
  public:
    Lane() : ctx(json{{"webserver", {{"port", 0}}}}) {
        sink = ctx.addEventQueue("sink", 1000);
        catalogPath = dir.file("plate_catalog.json");
        // One state "T1" with plates of two letters, the letter O, a letter and two digits: the
        // reader's "AB0C12" is corrected to "ABOC12".
        std::ofstream(catalogPath) << R"({"timestamp": "test",
            "list": [{"plate_state": "T1", "syntax_regex": "[A-Z]{2}O[A-Z][0-9]{2}", "plate_type": "car",
                      "region": "test"}]})";
    }

    // Adds a camera of `laneId`; returns it for further settings (before start()).
    template <typename Source = FakeVideoSource>
    Source& addCamera(int id, int laneId = 1) {
        auto source = std::make_unique<Source>("cam" + std::to_string(id), id, laneId);
        Source& ref = *source;
        ctx.addVideoSource(std::move(source));
        return ref;
    }

    json builderConfig(const json& extra = json::object()) const {
        json config = {
            {"name", "nt"}, {"destinations", {"sink"}}, {"laneId", 1}, {"plateCatalogPath", catalogPath}};
        config.merge_patch(extra);
        return config;
    }

    // Waits (with a guard against a hang) until `n` events are queued, then takes them.
    std::vector<QEVAPair> takeEvents(size_t n, std::chrono::seconds guard = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        while (sink->size() < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::vector<QEVAPair> events;
        while (events.size() < n && sink->size() > 0) {
            events.push_back(sink->pop());
        }
        return events;
    }

    TempDir dir;
    ek::PipelineContext ctx;
    std::shared_ptr<ek::PipelineContext::EventQueue> sink;
    std::string catalogPath;
};

}  // namespace nt
