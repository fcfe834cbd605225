#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "SilentServer.h"
#include "TestClips.h"
#include "qo_common/video/IVideoSource.h"
#include "qo_common/video/Packet.h"
#include "tests/support/CapturingLog.h"

namespace {

ek::VideoSourceSettings fileSettings(const std::string& uri) {
    ek::VideoSourceSettings s;
    s.name = "cam1";
    s.id = 7;
    s.uri = uri;
    s.type = "file";
    s.pacing = false;
    return s;
}

ek::VideoSourceSettings recordingSettings(const std::string& uri, int64_t before, int64_t after) {
    auto s = fileSettings(uri);
    s.recordEnable = true;
    s.recordTimeBeforeEvent = before;
    s.recordTimeAfterEvent = after;
    return s;
}

std::unique_ptr<ek::IVideoSource> make(const ek::VideoSourceSettings& s) {
    auto source = ek::createVideoSource(s);
    if (!source) {
        throw std::runtime_error("no source for type " + s.type);
    }
    return source;
}

struct Run {
    std::vector<FrameWithInfoPtr> frames;
    FrameWithInfoPtr last;  // the frame that ended the run
};

// Reads until the end of the stream or a poison frame.
Run readAll(ek::IVideoSource& source) {
    Run run;
    while (true) {
        auto f = source.getFrame();
        if (f->poison || f->frame->image.cols == 0) {
            run.last = f;
            return run;
        }
        run.frames.push_back(f);
    }
}

std::vector<int64_t> timestamps(const Run& run) {
    std::vector<int64_t> ts;
    for (const auto& f : run.frames) {
        ts.push_back(f->frame->timestamp);
    }
    return ts;
}

void expectStrictlyIncreasing(const std::vector<int64_t>& ts) {
    for (size_t i = 1; i < ts.size(); ++i) {
        ASSERT_LT(ts[i - 1], ts[i]) << "at frame " << i;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(FFmpegVideoSource, FileDeliversEveryFrameInBgrWithItsIdentity) {
    auto source = make(fileSettings(testclips::h264Mp4()));
    EXPECT_TRUE(source->isFile());
    source->open();
    EXPECT_TRUE(source->isOnline());
    const auto run = readAll(*source);

    ASSERT_EQ(run.frames.size(), 100u);
    std::set<std::string> guids;
    for (const auto& f : run.frames) {
        EXPECT_EQ(f->frame->image.cols, 320);
        EXPECT_EQ(f->frame->image.rows, 240);
        EXPECT_EQ(f->frame->image.type(), CV_8UC3);
        EXPECT_EQ(f->frame->cameraName, "cam1");
        EXPECT_EQ(f->frame->sourceId, 7);
        guids.insert(f->frame->guid);
    }
    EXPECT_EQ(guids.size(), 100u);
    expectStrictlyIncreasing(timestamps(run));
    // The end of the stream: an empty image, not poison, with a wall-clock time.
    EXPECT_FALSE(run.last->poison);
    EXPECT_GE(run.last->frame->timestamp, run.frames.front()->frame->timestamp);
    EXPECT_FALSE(source->isOnline());
    EXPECT_EQ(source->getFrame()->frame->image.cols, 0);
}

TEST(FFmpegVideoSource, FramesHeldByTheCallerAreNeverOverwritten) {
    // Image buffers are reused once released; frames still held must keep their pixels.
    auto source = make(fileSettings(testclips::h264Mp4()));
    source->open();
    const auto run = readAll(*source);
    auto fresh = make(fileSettings(testclips::h264Mp4()));
    fresh->open();
    for (size_t i = 0; i < 3; ++i) {
        auto again = fresh->getFrame();
        EXPECT_EQ(cv::norm(run.frames[i]->frame->image, again->frame->image, cv::NORM_INF), 0.0)
            << "frame " << i;
    }
    EXPECT_NE(run.frames[0]->frame->image.data, run.frames[1]->frame->image.data);
}

TEST(FFmpegVideoSource, FirstFrameShowsTheTestPattern) {
    // testsrc draws coloured bars; a wrong plane order or conversion gives grey or swapped colours.
    auto source = make(fileSettings(testclips::h264Mp4()));
    source->open();
    auto f = source->getFrame();
    ASSERT_EQ(f->frame->image.cols, 320);
    cv::Scalar mean = cv::mean(f->frame->image);
    EXPECT_GT(mean[0] + mean[1] + mean[2], 100.0);
}

TEST(FFmpegVideoSource, EndOfStreamThenStopThenOpenReadsTheFileAgain) {
    auto source = make(fileSettings(testclips::h264Mp4()));
    source->open();
    const auto first = readAll(*source);
    source->stop();
    EXPECT_TRUE(source->getFrame()->poison);
    source->open();
    const auto second = readAll(*source);

    ASSERT_EQ(first.frames.size(), 100u);
    ASSERT_EQ(second.frames.size(), 100u);
    auto ts = timestamps(first);
    auto more = timestamps(second);
    ts.insert(ts.end(), more.begin(), more.end());
    expectStrictlyIncreasing(ts);
    EXPECT_EQ(source->getStatistics().at("reconnects"), 1);
    EXPECT_EQ(source->getStatistics().at("framesDecoded"), 200);
}

TEST(FFmpegVideoSource, StopIsIdempotentAndGivesPoisonUntilTheNextOpen) {
    auto source = make(fileSettings(testclips::h264Mp4()));
    source->open();
    ASSERT_EQ(source->getFrame()->frame->image.cols, 320);
    source->stop();
    source->stop();
    for (int i = 0; i < 3; ++i) {
        auto f = source->getFrame();
        EXPECT_TRUE(f->poison);
        ASSERT_TRUE(f->frame);
        EXPECT_GT(f->frame->timestamp, 0);
    }
    EXPECT_FALSE(source->isOnline());
    source->open();
    EXPECT_EQ(source->getFrame()->frame->image.cols, 320);
}

TEST(FFmpegVideoSource, StopBeforeAnyOpenGivesPoison) {
    auto source = make(fileSettings(testclips::h264Mp4()));
    source->stop();
    EXPECT_TRUE(source->getFrame()->poison);
}

TEST(FFmpegVideoSource, MissingFileOpensToAnEndOfStream) {
    auto source = make(fileSettings("/nonexistent/clip.mp4"));
    source->open();
    auto f = source->getFrame();
    EXPECT_FALSE(f->poison);
    EXPECT_EQ(f->frame->image.cols, 0);
    EXPECT_FALSE(source->isOnline());
    EXPECT_EQ(source->getStatistics().at("failedOpens"), 1);
}

TEST(FFmpegVideoSource, PacedFileFollowsItsFrameRate) {
    auto s = fileSettings(testclips::h264Mp4Short());
    s.pacing = true;
    auto source = make(s);
    source->open();
    const auto ts = timestamps(readAll(*source));
    ASSERT_EQ(ts.size(), 25u);
    // Due times are anchored at the first frame; no frame is handed out before it is due.
    for (size_t i = 1; i < ts.size(); ++i) {
        EXPECT_GE(ts[i] - ts[0], static_cast<int64_t>(40 * i) - 1) << "frame " << i;
    }
}

TEST(FFmpegVideoSource, StatisticsDescribeTheStream) {
    auto source = make(fileSettings(testclips::h264Mp4()));
    source->open();
    readAll(*source);
    const auto stats = source->getStatistics();
    for (const char* key :
         {"framesDecoded", "fps", "drops", "reconnects", "width", "height", "codec", "online"}) {
        EXPECT_TRUE(stats.contains(key)) << key;
    }
    EXPECT_EQ(stats.at("width"), 320);
    EXPECT_EQ(stats.at("height"), 240);
    EXPECT_EQ(stats.at("codec"), "h264");
    EXPECT_EQ(stats.at("drops"), 0);
    EXPECT_EQ(stats.at("online"), false);
    EXPECT_NE(source->getInfo().find("320x240"), std::string::npos);
}

TEST(FFmpegVideoSource, HardwareRequestFallsBackToTheCpu) {
    // With or without a usable device here, decoding must deliver every frame.
    auto s = fileSettings(testclips::h264Mp4());
    s.cpuDecode = 0;
    auto source = make(s);
    source->open();
    EXPECT_EQ(readAll(*source).frames.size(), 100u);
}

// --- network streams ---

TEST(FFmpegVideoSource, StopInterruptsAnOpenBlockedOnASilentServer) {
    SilentServer server;
    ek::VideoSourceSettings s;
    s.name = "net";
    s.uri = server.url();
    s.type = "network";
    s.timeoutMs = 600000;  // only stop can end this open in time
    auto source = make(s);
    EXPECT_FALSE(source->isFile());
    std::thread opener([&] { source->open(); });
    server.waitForClients(1);
    source->stop();
    opener.join();
    EXPECT_TRUE(source->getFrame()->poison);
    EXPECT_FALSE(source->isOnline());
}

TEST(FFmpegVideoSource, StopInterruptsAReadBlockedOnAStreamThatFellSilent) {
    // The server sends the first half of a transport stream and then nothing.
    const auto ts = readFile(testclips::h264Ts());
    SilentServer server(ts.substr(0, ts.size() / 2));
    ek::VideoSourceSettings s;
    s.name = "net";
    s.uri = server.url();
    s.type = "network";
    s.timeoutMs = 600000;
    auto source = make(s);
    source->open();
    ASSERT_TRUE(source->isOnline());

    std::mutex mutex;
    std::condition_variable progressed;
    size_t frames = 0;
    FrameWithInfoPtr last;
    std::thread reader([&] {
        while (true) {
            auto f = source->getFrame();
            std::lock_guard<std::mutex> lock(mutex);
            if (f->poison || f->frame->image.cols == 0) {
                last = f;
                return;
            }
            ++frames;
            progressed.notify_all();
        }
    });
    // Half of the stream holds about 50 frames: once 20 are out and every byte sent is read, the
    // reader waits on a socket that stays silent (600 s of time-out); only stop can end that wait.
    {
        std::unique_lock<std::mutex> lock(mutex);
        progressed.wait(lock, [&] { return frames >= 20; });
    }
    server.waitUntilClientsReadAll();
    source->stop();
    reader.join();
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->poison);
}

TEST(FFmpegVideoSource, SilentServerTimesOutToAnEndOfStream) {
    SilentServer server;
    ek::VideoSourceSettings s;
    s.name = "net";
    s.uri = server.url();
    s.type = "network";
    s.timeoutMs = 100;
    auto source = make(s);
    source->open();
    auto f = source->getFrame();
    EXPECT_FALSE(f->poison);
    EXPECT_EQ(f->frame->image.cols, 0);
    EXPECT_FALSE(source->isOnline());
    // And it can be opened again (the producer's reconnect).
    source->stop();
    source->open();
    EXPECT_EQ(source->getFrame()->frame->image.cols, 0);
    EXPECT_EQ(source->getStatistics().at("failedOpens"), 2);
}

TEST(FFmpegVideoSource, StatisticsAndLogLinesNeverCarryTheUriCredentials) {
    auto capture = CapturingLog::install();
    SilentServer server;
    ek::VideoSourceSettings s;
    s.name = "net";
    s.uri = server.url();
    ASSERT_EQ(s.uri.rfind("tcp://", 0), 0u);
    const std::string masked = "tcp://***@" + s.uri.substr(6);
    s.uri.insert(6, "admin:s3cret@");
    s.type = "network";
    s.timeoutMs = 100;
    auto source = make(s);
    source->open();  // times out: the open fails and its error is kept
    const auto statistics = source->getStatistics();
    EXPECT_EQ(statistics.at("uri"), masked);
    EXPECT_NE(statistics.at("lastError").get<std::string>().find("cannot open " + masked), std::string::npos)
        << statistics.at("lastError");
    EXPECT_EQ(source->getInfo(), "stream " + masked);
    EXPECT_EQ(statistics.dump().find("s3cret"), std::string::npos);
    EXPECT_TRUE(capture.log->contains("cannot open " + masked));
    EXPECT_FALSE(capture.log->contains("s3cret"));
}

TEST(FFmpegVideoSource, NetworkStreamDeliversFramesUntilItsServerFallsSilent) {
    const auto ts = readFile(testclips::h264Ts());
    SilentServer server(ts);
    ek::VideoSourceSettings s;
    s.name = "net";
    s.uri = server.url();
    s.type = "network";
    s.timeoutMs = 300;
    auto source = make(s);
    source->open();
    const auto run = readAll(*source);
    EXPECT_FALSE(run.last->poison);
    EXPECT_EQ(run.frames.size(), 100u);
    expectStrictlyIncreasing(timestamps(run));
}

// --- encoded packets ---

TEST(FFmpegVideoSource, EncodedFramesStartAtAKeyframeAndCarryTheFrameTimestamps) {
    auto source = make(recordingSettings(testclips::h264Mp4(), 2000, 2000));
    source->open();
    const auto ts = timestamps(readAll(*source));
    ASSERT_EQ(ts.size(), 100u);

    // Keyframes are frames 0, 25, 50, 75: a request from frame 30 starts at frame 25.
    const auto packets = source->getEncodedFrames(ts[30], ts[60]);
    ASSERT_EQ(packets.size(), 36u);
    EXPECT_TRUE(packets.front()->packet->flags & AV_PKT_FLAG_KEY);
    for (size_t k = 0; k < packets.size(); ++k) {
        EXPECT_EQ(packets[k]->timestamp - source->correctionTs, ts[25 + k]) << "packet " << k;
        ASSERT_NE(packets[k]->stream, nullptr);
        EXPECT_EQ(packets[k]->stream->codecpar->codec_id, AV_CODEC_ID_H264);
    }
    EXPECT_GT(packets.front()->stream->time_base.den, 0);
    EXPECT_EQ(packets.front()->stream->r_frame_rate.num, 25);
}

TEST(FFmpegVideoSource, EncodedFramesAreFreshReferences) {
    auto source = make(recordingSettings(testclips::h264Mp4(), 2000, 2000));
    source->open();
    const auto ts = timestamps(readAll(*source));
    auto first = source->getEncodedFrames(ts[0], ts[10]);
    ASSERT_FALSE(first.empty());
    // A caller rewrites timing fields when it writes a clip; the ring must not see that.
    first.front()->packet->pts = 12345;
    first.front()->packet->stream_index = 3;
    auto second = source->getEncodedFrames(ts[0], ts[10]);
    EXPECT_NE(second.front()->packet->pts, 12345);
    EXPECT_EQ(second.front()->packet->stream_index, 0);
    EXPECT_EQ(second.front()->packet->data, first.front()->packet->data);  // shared data, own fields
}

TEST(FFmpegVideoSource, EveryFrameStampsItsOwnPacketAlsoWithBFrames) {
    auto source = make(recordingSettings(testclips::h264Mp4BFrames(), 2000, 2000));
    source->open();
    const auto ts = timestamps(readAll(*source));
    ASSERT_EQ(ts.size(), 100u);
    const auto packets = source->getEncodedFrames(ts.front(), ts.back());
    ASSERT_EQ(packets.size(), 100u);
    std::set<int64_t> packetTimes;
    for (const auto& p : packets) {
        packetTimes.insert(p->timestamp - source->correctionTs);
    }
    EXPECT_EQ(packetTimes, std::set<int64_t>(ts.begin(), ts.end()));
}

TEST(FFmpegVideoSource, RingDropsOldGroupsButKeepsItsSpanFromAKeyframe) {
    // No clip times: the ring keeps its 3 s margin. Of 6 s (keyframes every second) it must still
    // hold 3 s after its first keyframe, so it starts at the keyframe at 2 s.
    auto source = make(recordingSettings(testclips::h264Mp4Long(), 0, 0));
    EXPECT_EQ(source->getSizeBufferFrames(), 75u);
    source->open();
    const auto ts = timestamps(readAll(*source));
    ASSERT_EQ(ts.size(), 150u);
    const auto packets = source->getEncodedFrames(ts.front(), ts.back());
    ASSERT_EQ(packets.size(), 100u);
    EXPECT_EQ(packets.front()->timestamp - source->correctionTs, ts[50]);
    EXPECT_TRUE(packets.front()->packet->flags & AV_PKT_FLAG_KEY);
}

TEST(FFmpegVideoSource, NoRecordingKeepsNoPackets) {
    auto source = make(fileSettings(testclips::h264Mp4()));
    EXPECT_EQ(source->getSizeBufferFrames(), 0u);
    source->open();
    const auto ts = timestamps(readAll(*source));
    EXPECT_TRUE(source->getEncodedFrames(ts.front(), ts.back()).empty());
}

TEST(FFmpegVideoSource, IntervalOutsideTheRingGivesNothing) {
    auto source = make(recordingSettings(testclips::h264Mp4(), 2000, 2000));
    source->open();
    const auto ts = timestamps(readAll(*source));
    EXPECT_TRUE(source->getEncodedFrames(ts.front() - 5000, ts.front() - 1).empty());
}

namespace {

// Writes packets to an MP4 by stream copy, the way event clips are written, and returns the
// number of frames libavformat and libavcodec read back from it.
void writeClip(const std::vector<std::shared_ptr<Packet>>& packets, const std::string& path) {
    AVFormatContext* oc = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, nullptr, path.c_str()), 0);
    AVStream* src = packets.front()->stream;
    AVStream* st = avformat_new_stream(oc, nullptr);
    ASSERT_NE(st, nullptr);
    ASSERT_GE(avcodec_parameters_copy(st->codecpar, src->codecpar), 0);
    st->time_base = src->time_base;
    st->r_frame_rate = src->r_frame_rate;
    ASSERT_GE(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(oc, nullptr), 0);
    int n = 0;
    for (const auto& p : packets) {
        p->packet->stream_index = st->index;
        p->packet->pts = p->packet->dts = static_cast<int64_t>(
            (n * st->time_base.den * st->r_frame_rate.den) / (st->r_frame_rate.num * st->time_base.num));
        p->packet->pos = AV_NOPTS_VALUE;
        ++n;
        ASSERT_GE(av_write_frame(oc, p->packet), 0);
    }
    ASSERT_GE(av_write_trailer(oc), 0);
    avio_closep(&oc->pb);
    avformat_free_context(oc);
}

int decodedFrames(const std::string& path) {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) {
        return -1;
    }
    avformat_find_stream_info(ic, nullptr);
    const int index = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec* codec = avcodec_find_decoder(ic->streams[index]->codecpar->codec_id);
    AVCodecContext* cc = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(cc, ic->streams[index]->codecpar);
    avcodec_open2(cc, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int frames = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(cc, frame) == 0) {
            ++frames;
        }
    };
    while (av_read_frame(ic, pkt) >= 0) {
        if (pkt->stream_index == index) {
            avcodec_send_packet(cc, pkt);
            drain();
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(cc, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&cc);
    avformat_close_input(&ic);
    return frames;
}

}  // namespace

TEST(FFmpegVideoSource, ClipWrittenByStreamCopyReadsBackWithEveryFrame) {
    std::vector<std::shared_ptr<Packet>> packets;
    {
        auto source = make(recordingSettings(testclips::h264Mp4(), 2000, 2000));
        source->open();
        const auto ts = timestamps(readAll(*source));
        packets = source->getEncodedFrames(ts[30], ts[60]);
        // Reopening and then destroying the source must leave the packets' stream valid.
        source->stop();
        source->open();
    }
    ASSERT_EQ(packets.size(), 36u);
    const auto path = (testclips::dataDir() / ("clip_" + std::to_string(::getpid()) + ".mp4")).string();
    writeClip(packets, path);
    EXPECT_EQ(decodedFrames(path), 36);
    std::filesystem::remove(path);
}

TEST(FFmpegVideoSource, EncodedFramesWaitForFramesStillToComeUntilTheStreamEnds) {
    auto source = make(recordingSettings(testclips::h264Mp4(), 2000, 2000));
    source->open();
    std::vector<int64_t> ts;
    for (int i = 0; i < 10; ++i) {
        ts.push_back(source->getFrame()->frame->timestamp);
    }
    std::vector<std::shared_ptr<Packet>> packets;
    std::thread reporter(
        [&] { packets = source->getEncodedFrames(ts[0], std::numeric_limits<int64_t>::max() / 2); });
    // The request reaches past the newest frame; the end of the stream releases it with all 100.
    const auto rest = readAll(*source);
    reporter.join();
    EXPECT_EQ(rest.frames.size(), 90u);
    EXPECT_EQ(packets.size(), 100u);
}

TEST(FFmpegVideoSource, EncodedFramesAfterAReopenAreOfTheConnectionOfTheEventsFirstReading) {
    auto source = make(recordingSettings(testclips::h264Mp4(), 2000, 2000));
    source->open();
    const auto first = timestamps(readAll(*source));
    source->stop();
    source->open();
    const auto second = timestamps(readAll(*source));
    ASSERT_EQ(first.size(), 100u);
    ASSERT_EQ(second.size(), 100u);
    // Unpaced, the frames carry the wall clock: however slowly they came, every window below
    // reaches into both passes.
    const int64_t reach =
        std::max<int64_t>({2000, second.front() - first[60] + 1, second[10] - first.back() + 1});

    struct Case {
        int64_t reading;
        const std::vector<int64_t>& pass;
    };
    // The ring spans 7 s of stream time: it still holds both passes whole.
    for (const Case& c : {Case{first[60], first}, Case{second[10], second}}) {
        const auto packets = source->getEncodedFrames(c.reading - reach, c.reading + reach);
        const std::set<int64_t> pass(c.pass.begin(), c.pass.end());
        std::set<int64_t> times;
        for (const auto& p : packets) {
            times.insert(p->timestamp - source->correctionTs);
        }
        EXPECT_EQ(times, std::set<int64_t>(c.pass.begin(), c.pass.end()))
            << "the whole pass of the reading at " << c.reading << ", nothing of the other";
    }
}
