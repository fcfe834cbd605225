#include "src/event_builder/ClipWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/video/Decoder.h"
#include "platform/video/Demuxer.h"
#include "platform/video/PacketRing.h"
#include "platform/video/StreamInfo.h"
#include "qo_common/video/Packet.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ClipChecks.h"
#include "tests/support/TempDir.h"

namespace {

using Packets = std::vector<std::shared_ptr<Packet>>;
using clipchecks::decodeErrors;
using clipchecks::frameChecksums;
using clipchecks::lines;
using clipchecks::presentationTimes;
using clipchecks::probeStream;
using clipchecks::run;

// Small sources made once per test run with the ffmpeg command line.
class Sources {
  public:
    std::string make(const std::string& name, const std::string& encoding) {
        const auto path = dir_.file(name);
        if (!std::filesystem::exists(path)) {
            const std::string command =
                "ffmpeg -nostdin -y -loglevel error -f lavfi -i " + encoding + " \"" + path + "\"";
            if (std::system(command.c_str()) != 0) {
                throw std::runtime_error("cannot make test source: " + command);
            }
        }
        return path;
    }

  private:
    TempDir dir_;
};

Sources& sources() {
    static Sources instance;
    return instance;
}

const char* const kTestPattern = "testsrc=size=160x120:rate=25:duration=4";

std::string roadMp4() {
    return std::string(QO_SOURCE_DIR) + "/demo/road.mp4";
}
std::string x264NoBFrames() {
    return sources().make(
        "nob.mp4", std::string(kTestPattern) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g 25");
}
std::string x264BFrames() {
    return sources().make(
        "bf.mp4", std::string(kTestPattern) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 3 -g 25");
}
// x265's default open groups of pictures: the pictures that lead a keyframe refer to the group
// before it.
std::string x265BFrames() {
    return sources().make(
        "hevc_bf.mp4",
        std::string(kTestPattern) + " -c:v libx265 -pix_fmt yuv420p -x265-params keyint=25:log-level=error");
}
std::string x265NoBFrames() {
    return sources().make(
        "hevc_nob.mp4",
        std::string(kTestPattern) +
            " -c:v libx265 -pix_fmt yuv420p -x265-params keyint=25:bframes=0:log-level=error");
}
std::string ntscTransportStream() {
    return sources().make("ntsc.ts",
                          "testsrc=size=160x120:rate=30000/1001:duration=4 -c:v libx264 -preset veryfast "
                          "-pix_fmt yuv420p -g 30 -f mpegts");
}
std::string mpeg4Avi() {
    return sources().make("mpeg4.avi", std::string(kTestPattern) + " -c:v mpeg4 -g 25");
}
std::string h264Flv() {
    return sources().make(
        "h264.flv", std::string(kTestPattern) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 25");
}
std::string sorensonFlv() {
    return sources().make("flv1.flv", std::string(kTestPattern) + " -c:v flv1");
}

// Every video packet of a file in decode order, each stamped with its frame's time in ms, as
// the video library hands them out. The stream stays valid while any packet lives.
struct SourcePackets {
    Packets packets;
    AVStream* stream = nullptr;
};

SourcePackets readPackets(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    std::shared_ptr<AVFormatContext> input(raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        throw std::runtime_error("no stream info in " + path);
    }
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        throw std::runtime_error("no video stream in " + path);
    }
    SourcePackets out;
    out.stream = input->streams[index];
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            out.packets.push_back(std::make_shared<Packet>(
                packet.get(), av_rescale_q(time, out.stream->time_base, AVRational{1, 1000}), out.stream,
                input));
        }
        av_packet_unref(packet.get());
    }
    return out;
}

// From the second keyframe up to the packet before the fourth: whole groups of pictures from the
// middle of the source, without the pictures that lead the first keyframe (shown before it).
Packets middleRun(const Packets& all) {
    std::vector<size_t> keys;
    for (size_t i = 0; i < all.size(); ++i) {
        if ((all[i]->packet->flags & AV_PKT_FLAG_KEY) != 0) {
            keys.push_back(i);
        }
    }
    if (keys.size() < 3) {
        throw std::runtime_error("source has fewer than three keyframes");
    }
    const size_t end = keys.size() > 3 ? keys[3] : all.size();
    Packets run;
    for (size_t i = keys[1]; i < end; ++i) {
        if (all[i]->timestamp >= all[keys[1]]->timestamp) {
            run.push_back(all[i]);
        }
    }
    return run;
}

struct SourceCase {
    const char* name;
    std::function<std::string()> path;
    std::function<void(AVStream*)> spoil;  // makes the stream's description unusable, or nothing
    int64_t ticksPerFrame;                 // of the clip's time base
    const char* frameRate;                 // of the clip, as ffprobe gives it
    const char* warning;                   // logged while writing, or ""
};

void PrintTo(const SourceCase& c, std::ostream* os) {
    *os << c.name;
}

void keep(AVStream*) {}

const std::vector<SourceCase>& sourceCases() {
    static const std::vector<SourceCase> cases = {
        {"road.mp4 with B-frames", roadMp4, keep, 512, "25/1", ""},
        {"x264 without B-frames", x264NoBFrames, keep, 512, "25/1", ""},
        {"H.265 with B-frames", x265BFrames, keep, 512, "25/1", ""},
        {"H.265 without B-frames", x265NoBFrames, keep, 512, "25/1", ""},
        // 1/90000: the frame counts times the ticks overflow 32 bits after 24 frames.
        {"29.97 fps MPEG-TS with B-frames", ntscTransportStream, keep, 3003, "30000/1001", ""},
        {"MPEG-4 in AVI", mpeg4Avi, keep, 512, "25/1", ""},
        // 1/1000, raised by the MP4 muxer to 1/16000.
        {"H.264 in FLV", h264Flv, keep, 640, "25/1", ""},
        {"frame rate 0", x264NoBFrames,
         [](AVStream* s) {
             s->r_frame_rate = AVRational{0, 1};
             s->avg_frame_rate = AVRational{0, 0};
         },
         512, "25/1", "the frame rate is 25/1 from the median packet interval of 40 ms"},
        {"only the average frame rate", ntscTransportStream,
         [](AVStream* s) {
             s->r_frame_rate = AVRational{25, 0};
         },
         3003, "30000/1001", "the frame rate is avg_frame_rate 30000/1001"},
        {"time base 0", h264Flv,
         [](AVStream* s) {
             s->time_base = AVRational{0, 1};
         },
         3600, "25/1", "the stream's time base 0/1 is not usable"},
    };
    return cases;
}

class ClipWriterSources : public ::testing::TestWithParam<SourceCase> {};

// A clip is proven by decoding it: ffprobe alone shows a plausible clip whose frames do not decode.
TEST_P(ClipWriterSources, ClipDecodesToAContiguousRunOfTheSource) {
    const auto& c = GetParam();
    const std::string sourcePath = c.path();
    auto source = readPackets(sourcePath);
    // Source frame j in presentation order has the j-th smallest timestamp.
    const auto sourceSums = frameChecksums(sourcePath);
    ASSERT_EQ(sourceSums.size(), source.packets.size()) << "one frame per packet in the source";
    std::vector<int64_t> sourceTimes;
    for (const auto& p : source.packets) {
        sourceTimes.push_back(p->timestamp);
    }
    std::sort(sourceTimes.begin(), sourceTimes.end());
    ASSERT_EQ(std::adjacent_find(sourceTimes.begin(), sourceTimes.end()), sourceTimes.end())
        << "distinct times";
    std::map<int64_t, std::string> sumAt;
    for (size_t j = 0; j < sourceTimes.size(); ++j) {
        sumAt[sourceTimes[j]] = sourceSums[j];
    }

    c.spoil(source.stream);
    const auto clipPackets = middleRun(source.packets);
    TempDir dir;
    const auto clipPath = dir.file("clip.mp4");
    auto capture = CapturingLog::install();
    ClipWriter clip(clipPackets);
    clip.write(clipPath);

    EXPECT_EQ(decodeErrors(clipPath), "");
    const auto clipSums = frameChecksums(clipPath);
    ASSERT_EQ(clipSums.size(), clipPackets.size()) << "frame count equals packet count";
    ASSERT_EQ(clip.frameTimestamps().size(), clipPackets.size());

    EXPECT_TRUE(clipchecks::isContiguousRun(clipSums, sourceSums));

    // Element i of the timestamps describes decoded clip frame i.
    for (size_t i = 0; i < clipSums.size(); ++i) {
        EXPECT_EQ(sumAt.at(clip.frameTimestamps()[i]), clipSums[i]) << "clip frame " << i;
    }
    EXPECT_EQ(clip.firstTimestamp(), clip.frameTimestamps().front());
    EXPECT_EQ(clip.lastTimestamp(), clip.frameTimestamps().back());

    // Presentation times one frame step apart, from 0.
    const auto times = presentationTimes(clipPath);
    ASSERT_EQ(times.size(), clipPackets.size());
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ(times[i], static_cast<int64_t>(i) * c.ticksPerFrame) << "frame " << i;
    }
    EXPECT_EQ(probeStream(clipPath, "avg_frame_rate"), c.frameRate);
    if (std::string(c.warning).empty()) {
        EXPECT_TRUE(capture.log->messages(ILog::LevelWarning).empty());
    } else {
        EXPECT_TRUE(capture.log->contains(c.warning, ILog::LevelWarning)) << c.warning;
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, ClipWriterSources, ::testing::ValuesIn(sourceCases()),
                         [](const ::testing::TestParamInfo<SourceCase>& info) {
                             std::string name = info.param.name;
                             std::replace_if(
                                 name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });

// Without reordering the clip is what a plain in-order writer makes: pts = dts = n frame steps.
TEST(ClipWriter, WithoutReorderingPtsAndDtsAreTheFrameSteps) {
    auto source = readPackets(sources().make(
        "nob.flv",
        std::string(kTestPattern) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -g 25"));
    auto clipPackets = middleRun(source.packets);
    // A packet without data between the others is not written and leaves no gap.
    AVPacket* empty = av_packet_alloc();
    ASSERT_NE(empty, nullptr);
    const int64_t emptyTime = clipPackets.back()->timestamp + 1000;
    clipPackets.insert(clipPackets.begin() + 3,
                       std::make_shared<Packet>(empty, emptyTime, source.stream, nullptr));
    av_packet_free(&empty);

    TempDir dir;
    // Matroska keeps the 1/1000 time base: the steps are 40 ticks.
    const auto clipPath = dir.file("clip.mkv");
    ClipWriter clip(clipPackets);
    clip.write(clipPath);
    EXPECT_EQ(clip.frameTimestamps().size(), clipPackets.size() - 1);
    EXPECT_EQ(clip.lastTimestamp(), emptyTime);
    const auto written =
        lines(run("ffprobe -v error -show_entries packet=pts,dts,duration -of csv=p=0 \"" + clipPath + "\""));
    ASSERT_EQ(written.size(), clipPackets.size() - 1);
    for (size_t n = 0; n < written.size(); ++n) {
        EXPECT_EQ(written[n], std::to_string(40 * n) + "," + std::to_string(40 * n) + ",40");
    }
}

// One frame gives no interval to take a rate from: the clip still gets one, and says so.
TEST(ClipWriter, SingleFrameWithoutFrameRate) {
    auto source = readPackets(x264NoBFrames());
    source.stream->r_frame_rate = AVRational{0, 0};
    source.stream->avg_frame_rate = AVRational{0, 0};
    TempDir dir;
    const auto clipPath = dir.file("clip.mp4");
    auto capture = CapturingLog::install();
    ClipWriter clip({source.packets.front()});
    clip.write(clipPath);
    EXPECT_TRUE(capture.log->contains("give no interval, the frame rate is 25/1", ILog::LevelWarning));
    EXPECT_EQ(decodeErrors(clipPath), "");
    EXPECT_EQ(frameChecksums(clipPath), std::vector<std::string>{frameChecksums(x264NoBFrames()).front()});
}

TEST(ClipWriter, FailedClipsThrowTheStepAndLeaveNoFile) {
    TempDir dir;
    struct Case {
        std::string source;
        std::string path;
        std::string error;
    };
    const std::vector<Case> cases = {
        // MP4 cannot hold Sorenson video: the header is refused after the file was opened.
        {sorensonFlv(), dir.file("flv1.mp4"), "Failed to write header, code error = "},
        {x264NoBFrames(), dir.file("missing/clip.mp4"),
         "Failed to open output file " + dir.file("missing/clip.mp4")},
        {x264NoBFrames(), dir.file("clip.unknown"), "Error allocating output context"},
    };
    for (const auto& c : cases) {
        auto source = readPackets(c.source);
        ClipWriter clip(middleRun(source.packets));
        try {
            clip.write(c.path);
            ADD_FAILURE() << c.path << " written";
        } catch (const std::runtime_error& e) {
            EXPECT_THAT(e.what(), ::testing::StartsWith(c.error));
        }
        EXPECT_FALSE(std::filesystem::exists(c.path)) << c.path;
    }
}

TEST(ClipWriter, RefusesPacketListsItCannotWrite) {
    auto source = readPackets(x264NoBFrames());
    auto other = readPackets(mpeg4Avi());
    AVPacket* empty = av_packet_alloc();
    ASSERT_NE(empty, nullptr);
    auto emptyPacket = std::make_shared<Packet>(empty, 0, source.stream, nullptr);
    av_packet_free(&empty);
    const std::vector<std::pair<Packets, std::string>> cases = {
        {{}, "Clip: no packets"},
        {{source.packets[0], nullptr}, "Clip: a packet without data or stream"},
        {{source.packets[0], other.packets[0]}, "Clip: packets of more than one stream"},
        {{emptyPacket}, "Clip: no packet holds data"},
    };
    for (const auto& [packets, error] : cases) {
        try {
            ClipWriter clip(packets);
            ADD_FAILURE() << error;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), error);
        }
    }
}

}  // namespace

namespace {

// Decodes a file once: what ffmpeg reports, and the frame checksums in presentation order.
struct Decoded {
    std::string errors;
    std::vector<std::string> sums;
};

Decoded decode(const std::string& path) {
    Decoded out;
    for (const auto& line : lines(run("ffmpeg -nostdin -v error -i \"" + path +
                                      "\" -map 0:v:0 -fps_mode passthrough -f framemd5 - 2>&1"))) {
        if (line[0] == '#') {
            continue;
        }
        if (std::isdigit(static_cast<unsigned char>(line[0])) != 0) {
            out.sums.push_back(line.substr(line.rfind(',') + 2));
        } else {
            out.errors += line + "\n";
        }
    }
    return out;
}

struct CutCase {
    const char* name;
    std::function<std::string()> path;
};

void PrintTo(const CutCase& c, std::ostream* os) {
    *os << c.name;
}

class ClipCut : public ::testing::TestWithParam<CutCase> {};

// A live source asked for a clip the moment the frame after the clip's end is shown: the packets
// of some frames before the end are still in the decoder (B-frames, frame threads). The clip
// must stop before them, or its last frames refer to pictures it does not hold.
TEST_P(ClipCut, ClipOfALiveSourceDecodesToItsEnd) {
    const std::string path = GetParam().path();
    const Decoded source = decode(path);
    ASSERT_EQ(source.errors, "");

    ek::video::Demuxer demuxer(path, ek::video::Demuxer::Options{}, AVIOInterruptCB{nullptr, nullptr});
    ek::video::Decoder decoder(demuxer.videoStream(), 4, false);
    const auto stream = std::make_shared<const ek::video::StreamInfo>(demuxer.videoStream());
    const AVRational timeBase = demuxer.videoStream()->time_base;
    auto ms = [&](int64_t t) { return av_rescale_q(t, timeBase, AVRational{1, 1000}); };
    ek::video::PacketRing ring(10000);
    ring.beginConnection();
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    const auto now = std::chrono::steady_clock::now;

    std::vector<int64_t> shown;  // timestamps of the frames delivered so far
    int clips = 0;
    auto receive = [&] {
        while (decoder.receive(frame.get()) == 0) {
            shown.push_back(ms(frame->best_effort_timestamp));
            ring.stamp(static_cast<uint64_t>(ek::video::Decoder::seqOf(frame.get())), shown.back());
            av_frame_unref(frame.get());
            const size_t k = shown.size();
            if (k < 12 || k % 5 != 3) {
                continue;
            }
            // A clip of the last 30 frames up to the one before the newest.
            const int64_t from = shown[k > 31 ? k - 31 : 0];
            const int64_t to = shown[k - 2];
            const Packets packets = ring.get(from, to, from, now());
            ASSERT_FALSE(packets.empty()) << "at frame " << k;
            TempDir dir;
            const auto clipPath = dir.file("clip.mp4");
            ClipWriter(packets).write(clipPath);
            const Decoded clip = decode(clipPath);
            EXPECT_EQ(clip.errors, "") << "clip up to frame " << k - 2;
            EXPECT_EQ(clip.sums.size(), packets.size()) << "clip up to frame " << k - 2;
            EXPECT_TRUE(clipchecks::isContiguousRun(clip.sums, source.sums)) << "clip up to frame " << k - 2;
            ++clips;
        }
    };
    for (uint64_t seq = 0; demuxer.read(packet.get()) >= 0; ++seq) {
        if (packet->stream_index != demuxer.videoIndex()) {
            av_packet_unref(packet.get());
            continue;
        }
        ring.push(packet.get(), seq, ms(packet->dts), ms(packet->pts), stream);
        ASSERT_GE(decoder.send(packet.get(), static_cast<int64_t>(seq)), 0);
        av_packet_unref(packet.get());
        receive();
    }
    decoder.flush();
    receive();
    EXPECT_GE(clips, 15);

    // Once every frame is shown, a clip holds all that the ring has of its window.
    std::sort(shown.begin(), shown.end());
    const Packets all = ring.get(shown[30], shown[70], shown[30], now());
    std::set<int64_t> times;
    for (const auto& p : all) {
        times.insert(p->timestamp);
    }
    for (size_t j = 30; j <= 70; ++j) {
        EXPECT_EQ(times.count(shown[j]), 1u) << "frame " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, ClipCut,
                         ::testing::Values(CutCase{"H264", x264NoBFrames},
                                           CutCase{"H264_B_frames", x264BFrames},
                                           CutCase{"H265", x265NoBFrames},
                                           CutCase{"H265_B_frames", x265BFrames}),
                         [](const ::testing::TestParamInfo<CutCase>& info) { return info.param.name; });

}  // namespace
