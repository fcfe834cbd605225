#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/video/PacketRing.h"

namespace {

using ek::video::PacketRing;
using ek::video::StreamInfo;
using Packets = std::vector<std::shared_ptr<Packet>>;

// One connection's stream description, as the source makes one at each open.
std::shared_ptr<const StreamInfo> streamInfo() {
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> context(avformat_alloc_context(),
                                                                         avformat_free_context);
    AVStream* stream = avformat_new_stream(context.get(), nullptr);
    if (stream == nullptr) {
        throw std::runtime_error("no stream");
    }
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->time_base = AVRational{1, 1000};
    return std::make_shared<StreamInfo>(stream);
}

// Feeds a ring the way the source does: packets of frames 40 ms apart without reordering, a
// keyframe every `keyEvery`, each stamped when pushed with its frame's time on the service clock.
class Feed {
  public:
    explicit Feed(PacketRing& ring) : ring_(ring) {}

    // A new connection whose stream time starts again at 0 (a file that loops, a camera's new
    // session), its frames from `firstTimestamp` on.
    std::shared_ptr<const StreamInfo> connect(int64_t firstTimestamp) {
        ring_.beginConnection();
        stream_ = streamInfo();
        media_ = 0;
        timestamp_ = firstTimestamp;
        return stream_;
    }

    // Frames until the service clock reaches `until`; returns the last timestamp.
    int64_t frames(int64_t until, int keyEvery = 10) {
        std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                              [](AVPacket* p) { av_packet_free(&p); });
        for (; timestamp_ <= until; timestamp_ += 40, media_ += 40) {
            av_new_packet(packet.get(), 8);
            packet->flags = (media_ / 40) % keyEvery == 0 ? AV_PKT_FLAG_KEY : 0;
            ring_.push(packet.get(), seq_, media_, media_, stream_);
            ring_.stamp(seq_++, timestamp_);
            av_packet_unref(packet.get());
        }
        return timestamp_ - 40;
    }

  private:
    PacketRing& ring_;
    std::shared_ptr<const StreamInfo> stream_;
    uint64_t seq_ = 0;
    int64_t media_ = 0;
    int64_t timestamp_ = 0;
};

// Later than any test runs: a get that would wait for frames still to come hangs the test.
std::chrono::steady_clock::time_point never() {
    return std::chrono::steady_clock::now() + std::chrono::hours(1);
}

::testing::AssertionResult allOf(const Packets& packets, const std::shared_ptr<const StreamInfo>& stream) {
    for (const auto& p : packets) {
        if (p->stream != stream->stream()) {
            return ::testing::AssertionFailure() << "a packet of another connection at " << p->timestamp;
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

// A camera that drops and returns: events read before the drop still get the packets of their
// own connection, never those of the next one, until they age out of the span.
TEST(PacketRing, KeepsThePreviousConnectionUntilItAgesOut) {
    PacketRing ring(2000);
    Feed feed(ring);
    const auto first = feed.connect(10000);
    const int64_t lastOfFirst = feed.frames(12000);  // keyframes at 10000, 10400, ... 12000
    // Three seconds away, then the stream begins again at stream time 0.
    const auto second = feed.connect(15000);
    feed.frames(15400);

    // An event read at 11900 with a window reaching into the new connection.
    const Packets before = ring.get(11100, 16000, 11900, never());
    EXPECT_TRUE(allOf(before, first));
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.front()->timestamp, 10800) << "from the keyframe at or before the window";
    EXPECT_EQ(before.back()->timestamp, lastOfFirst) << "all the ring held of the window";
    EXPECT_EQ(before.size(), static_cast<size_t>((lastOfFirst - 10800) / 40 + 1));

    // An event of the new connection whose window reaches back before it.
    const Packets after = ring.get(14000, 15200, 15100, never());
    EXPECT_TRUE(allOf(after, second));
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front()->timestamp, 15000);
    EXPECT_EQ(after.back()->timestamp, 15200);

    // The old packets age out as the new ones fill the span, counted without the time away.
    feed.frames(16400);
    const Packets older = ring.get(11100, 16000, 11900, never());
    EXPECT_TRUE(allOf(older, first));
    ASSERT_FALSE(older.empty()) << "within the span";
    EXPECT_EQ(older.front()->timestamp, 11200) << "its oldest groups are gone";
    feed.frames(17400);
    EXPECT_TRUE(ring.get(11100, 16000, 11900, never()).empty());
    EXPECT_EQ(ring.get(15000, 17000, 15100, never()).front()->timestamp, 15400);
}

// Reopens that keep nothing (a camera still away) do not push the old packets out or split them.
TEST(PacketRing, FailedReopensLeaveTheLastConnection) {
    PacketRing ring(2000);
    Feed feed(ring);
    const auto first = feed.connect(10000);
    feed.frames(11000);
    for (int attempt = 0; attempt < 100; ++attempt) {
        ring.beginConnection();
        ring.markEnded();
    }
    const Packets packets = ring.get(10000, 12000, 10500, never());
    EXPECT_TRUE(allOf(packets, first));
    EXPECT_EQ(packets.size(), 26u);
}
