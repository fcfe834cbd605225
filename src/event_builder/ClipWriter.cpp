#include "src/event_builder/ClipWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <numeric>
#include <stdexcept>
#include <system_error>

#include "qo_common/logger/log.h"
#include "qo_common/video/Packet.h"

namespace {

// Above this a stream's rate is a timing artefact, not frames.
constexpr double kMaxFrameRate = 1000.0;
constexpr AVRational kLastResortRate{25, 1};

struct OutputContextFree {
    void operator()(AVFormatContext* context) const {
        if (context->pb != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) {
            avio_closep(&context->pb);
        }
        avformat_free_context(context);
    }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextFree>;

struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// Removes the file at the end of the scope unless kept, after closing the output that writes it:
// a clip that failed leaves nothing behind.
class PartialFile {
  public:
    PartialFile(std::string path, OutputContextPtr& context) : path_(std::move(path)), context_(context) {}
    ~PartialFile() {
        if (!kept_) {
            context_.reset();
            std::error_code ignored;  // nothing more to do about a file that cannot be removed
            std::filesystem::remove(path_, ignored);
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    void keep() { kept_ = true; }

  private:
    std::string path_;
    OutputContextPtr& context_;
    bool kept_ = false;
};

// Frame steps to ticks of the output time base, truncated toward zero, in 64 bits.
struct FrameStep {
    AVRational frameDuration;
    AVRational timeBase;
    int64_t ticks(int64_t frames) const {
        return av_rescale_q_rnd(frames, frameDuration, timeBase, AV_ROUND_ZERO);
    }
};

std::string errorText(int code) {
    char text[64] = {0};
    av_strerror(code, text, sizeof(text));
    return text;
}

std::string withCode(const std::string& what, int code) {
    return what + ", code error = " + std::to_string(code) + ", error message: " + errorText(code);
}

bool usableRate(AVRational rate) {
    return rate.num > 0 && rate.den > 0 && av_q2d(rate) <= kMaxFrameRate;
}

bool usableTimeBase(AVRational timeBase) {
    return timeBase.num > 0 && timeBase.den > 0;
}

// The median interval of ascending timestamps, 0 when there are fewer than two distinct ones.
int64_t medianInterval(const std::vector<int64_t>& timestamps) {
    std::vector<int64_t> intervals;
    for (size_t i = 1; i < timestamps.size(); ++i) {
        if (timestamps[i] > timestamps[i - 1]) {
            intervals.push_back(timestamps[i] - timestamps[i - 1]);
        }
    }
    if (intervals.empty()) {
        return 0;
    }
    auto middle = intervals.begin() + static_cast<std::ptrdiff_t>(intervals.size() / 2);
    std::nth_element(intervals.begin(), middle, intervals.end());
    return *middle;
}

AVRational clipFrameRate(const AVStream* source, const std::vector<int64_t>& timestamps,
                         const std::string& path) {
    if (usableRate(source->r_frame_rate)) {
        return source->r_frame_rate;
    }
    if (usableRate(source->avg_frame_rate)) {
        ILog::Warning("Clip %s: r_frame_rate %d/%d is not usable, the frame rate is avg_frame_rate %d/%d",
                      path.c_str(), source->r_frame_rate.num, source->r_frame_rate.den,
                      source->avg_frame_rate.num, source->avg_frame_rate.den);
        return source->avg_frame_rate;
    }
    const int64_t interval = medianInterval(timestamps);
    AVRational rate = kLastResortRate;
    if (interval > 0 && av_reduce(&rate.num, &rate.den, 1000, interval, INT32_MAX) && usableRate(rate)) {
        ILog::Warning(
            "Clip %s: r_frame_rate %d/%d and avg_frame_rate %d/%d are not usable, the frame rate is "
            "%d/%d from the median packet interval of %lld ms",
            path.c_str(), source->r_frame_rate.num, source->r_frame_rate.den, source->avg_frame_rate.num,
            source->avg_frame_rate.den, rate.num, rate.den, static_cast<long long>(interval));
        return rate;
    }
    rate = kLastResortRate;
    ILog::Warning(
        "Clip %s: r_frame_rate %d/%d and avg_frame_rate %d/%d are not usable and the packet times give "
        "no interval, the frame rate is %d/%d",
        path.c_str(), source->r_frame_rate.num, source->r_frame_rate.den, source->avg_frame_rate.num,
        source->avg_frame_rate.den, rate.num, rate.den);
    return rate;
}

}  // namespace

ClipWriter::ClipWriter(std::vector<std::shared_ptr<Packet>> packets) {
    if (packets.empty()) {
        throw std::invalid_argument("Clip: no packets");
    }
    const AVStream* stream = nullptr;
    for (const auto& packet : packets) {
        if (!packet || packet->packet == nullptr || packet->stream == nullptr) {
            throw std::invalid_argument("Clip: a packet without data or stream");
        }
        if (stream != nullptr && packet->stream != stream) {
            throw std::invalid_argument("Clip: packets of more than one stream");
        }
        stream = packet->stream;
    }
    const auto [first, last] =
        std::minmax_element(packets.begin(), packets.end(),
                            [](const auto& a, const auto& b) { return a->timestamp < b->timestamp; });
    firstTimestamp_ = (*first)->timestamp;
    lastTimestamp_ = (*last)->timestamp;

    for (auto& packet : packets) {
        if (packet->packet->size > 0) {
            packets_.push_back(std::move(packet));
        }
    }
    if (packets_.empty()) {
        throw std::invalid_argument("Clip: no packet holds data");
    }
    std::vector<size_t> order(packets_.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return packets_[a]->timestamp < packets_[b]->timestamp; });
    ranks_.resize(packets_.size());
    frameTimestamps_.reserve(packets_.size());
    for (size_t rank = 0; rank < order.size(); ++rank) {
        ranks_[order[rank]] = static_cast<int64_t>(rank);
        frameTimestamps_.push_back(packets_[order[rank]]->timestamp);
    }
}

void ClipWriter::write(const std::string& path) const {
    const AVStream* source = packets_.front()->stream;

    AVFormatContext* rawContext = nullptr;
    if (avformat_alloc_output_context2(&rawContext, nullptr, nullptr, path.c_str()) < 0 ||
        rawContext == nullptr) {
        throw std::runtime_error("Error allocating output context");
    }
    OutputContextPtr context(rawContext);

    AVStream* stream = avformat_new_stream(context.get(), nullptr);
    if (stream == nullptr) {
        throw std::runtime_error("Can`t create output stream");
    }
    if (avcodec_parameters_copy(stream->codecpar, source->codecpar) < 0) {
        throw std::runtime_error("Can`t copy parameter from input context to outoput video context");
    }
    // The source container's tag (MPEG-TS, AVI) is not valid in the output container.
    stream->codecpar->codec_tag = 0;

    const AVRational rate = clipFrameRate(source, frameTimestamps_, path);
    if (usableTimeBase(source->time_base)) {
        stream->time_base = source->time_base;
    } else {
        ILog::Warning("Clip %s: the stream's time base %d/%d is not usable, the container chooses one",
                      path.c_str(), source->time_base.num, source->time_base.den);
    }
    stream->r_frame_rate = rate;
    stream->avg_frame_rate = rate;
    ILog::Debug("r_frame_rate num: %i  den: %i", rate.num, rate.den);
    ILog::Debug("time_base num: %i  den: %i", stream->time_base.num, stream->time_base.den);

    if ((context->oformat->flags & AVFMT_NOFILE) == 0) {
        const int opened = avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (opened < 0) {
            throw std::runtime_error("Failed to open output file " + path + ": " + errorText(opened));
        }
    }
    PartialFile file(path, context);

    const int header = avformat_write_header(context.get(), nullptr);
    if (header < 0) {
        throw std::runtime_error(withCode("Failed to write header", header));
    }
    // The container may have changed the time base.
    const FrameStep step{AVRational{rate.den, rate.num}, stream->time_base};
    if (!usableTimeBase(step.timeBase) || step.ticks(1) <= 0) {
        throw std::runtime_error("Frame rate " + std::to_string(rate.num) + "/" + std::to_string(rate.den) +
                                 " too high for the time base " + std::to_string(step.timeBase.num) + "/" +
                                 std::to_string(step.timeBase.den));
    }

    // Decode times run one step apart and start early enough never to pass a presentation time.
    int64_t delay = 0;
    for (size_t k = 0; k < ranks_.size(); ++k) {
        delay = std::max(delay, static_cast<int64_t>(k) - ranks_[k]);
    }
    PacketPtr out(av_packet_alloc());
    if (!out) {
        throw std::runtime_error("Error writing packet to file: out of memory");
    }
    for (size_t k = 0; k < packets_.size(); ++k) {
        const int referenced = av_packet_ref(out.get(), packets_[k]->packet);
        if (referenced < 0) {
            throw std::runtime_error(withCode("Error writing packet to file", referenced));
        }
        out->stream_index = stream->index;
        out->pts = step.ticks(ranks_[k]);
        out->dts = step.ticks(static_cast<int64_t>(k) - delay);
        out->duration = step.ticks(ranks_[k] + 1) - out->pts;
        out->pos = -1;
        const int written = av_write_frame(context.get(), out.get());
        av_packet_unref(out.get());
        if (written < 0) {
            throw std::runtime_error(withCode("Error writing packet to file", written));
        }
    }
    const int trailer = av_write_trailer(context.get());
    if (trailer < 0) {
        throw std::runtime_error(withCode("Failed to write trailer", trailer));
    }
    if (context->pb != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) {
        const int closed = avio_closep(&context->pb);
        if (closed < 0) {
            throw std::runtime_error(withCode("Failed to close output file", closed));
        }
    }
    file.keep();
}
