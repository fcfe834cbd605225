#include "FFmpegVideoSource.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>

#include "FFmpegError.h"
#include "FFmpegLog.h"
#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/UriMask.h"

namespace ek::video {

namespace {

// Kept beyond the configured clip span, so a clip still finds its keyframe.
constexpr int64_t kRingMarginMs = 3000;
// How long a clip request may wait past its end for the frames still to come.
constexpr int64_t kClipGraceMs = 1000;
// A network open also analyses the stream before it returns.
constexpr int64_t kAnalyzeMs = 1000;
constexpr double kDefaultFps = 25.0;

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FrameClock::Mode clockMode(FFmpegVideoSource::Kind kind, bool pacing) {
    if (kind == FFmpegVideoSource::Kind::Network) {
        return FrameClock::Mode::Live;
    }
    return pacing ? FrameClock::Mode::Paced : FrameClock::Mode::Unpaced;
}

int64_t ringSpan(const VideoSourceSettings& s) {
    return s.recordEnable ? s.recordTimeBeforeEvent + s.recordTimeAfterEvent + kRingMarginMs : 0;
}

double frameRateOf(const AVStream* stream) {
    for (AVRational rate : {stream->avg_frame_rate, stream->r_frame_rate}) {
        if (rate.num > 0 && rate.den > 0) {
            return av_q2d(rate);
        }
    }
    return 0.0;
}

}  // namespace

FFmpegVideoSource::FFmpegVideoSource(VideoSourceSettings s, Kind kind)
    : IVideoSource(std::move(s)),
      kind_(kind),
      paced_(kind == Kind::File && settings.pacing),
      clock_(clockMode(kind, settings.pacing), settings.jitterCorrectionThreshold),
      ring_(ringSpan(settings)),
      stats_(settings.statisticsFlushTimeMs),
      converter_(0),
      packet_(makePacket()),
      frame_(makeFrame()) {
    FFmpegLog::install();
    info_ = (isFile() ? "file " : "stream ") + UriMask::hideCredentials(settings.uri);
}

FFmpegVideoSource::~FFmpegVideoSource() {
    stop();
    close();
}

int FFmpegVideoSource::interruptCallback(void* opaque) {
    const auto* self = static_cast<const FFmpegVideoSource*>(opaque);
    if (self->stopRequested_.load()) {
        return 1;
    }
    const int64_t deadline = self->deadline_.load();
    return deadline != 0 && steadyMs() > deadline ? 1 : 0;
}

void FFmpegVideoSource::armDeadline(int64_t ms) {
    deadline_ = ms > 0 ? steadyMs() + ms : 0;
}

void FFmpegVideoSource::open() {
    close();
    stopRequested_ = false;
    // Clips of events read before a drop still come from the previous connection's packets.
    ring_.beginConnection();
    clock_.restart();
    try {
        openStream();
    } catch (const std::exception& e) {
        close();
        state_ = State::Ended;
        stats_.openFailed(e.what());
        if (stopRequested_) {
            ILog::Info("Video source %s: open interrupted by stop", settings.name.c_str());
        } else {
            ILog::Error("Video source %s: %s", settings.name.c_str(), e.what());
        }
    }
    armDeadline(0);
}

bool FFmpegVideoSource::isNetworkUri(const std::string& uri) {
    const auto scheme = uri.find("://");
    if (scheme == std::string::npos) {
        return false;
    }
    std::string name = uri.substr(0, scheme);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name != "file";
}

void FFmpegVideoSource::probe() {
    if (kind_ != Kind::File) {
        return;
    }
    const std::string& uri = settings.uri;
    // A network URI is not opened here, whatever the type: this open has no deadline, and an
    // offline camera would hold the loading. The reading thread opens it, where a stop interrupts.
    if (isNetworkUri(uri)) {
        return;
    }
    // A plain path is checked first: FFmpeg's reasons for these are vague, and opening a FIFO
    // or a device would block or never end.
    if (uri.find("://") == std::string::npos && uri.rfind("file:", 0) != 0) {
        std::error_code ec;
        const auto status = std::filesystem::status(uri, ec);
        if (uri.empty()) {
            throw std::runtime_error("no file named (\"uri\" is empty)");
        }
        if (!std::filesystem::exists(status)) {
            throw std::runtime_error("file " + uri + " does not exist");
        }
        if (std::filesystem::is_directory(status)) {
            throw std::runtime_error(uri + " is a directory, not a video file");
        }
        if (!std::filesystem::is_regular_file(status)) {
            throw std::runtime_error(uri + " is not a regular file");
        }
    }
    try {
        Demuxer demuxer(uri, Demuxer::Options{}, AVIOInterruptCB{nullptr, nullptr});
        Decoder decoder(demuxer.videoStream(), 1, false);
    } catch (const std::exception& e) {
        throw std::runtime_error("file " + uri + " cannot be read as video: " + e.what());
    }
}

void FFmpegVideoSource::openStream() {
    Demuxer::Options options;
    options.network = kind_ == Kind::Network;
    options.tcp = settings.tcp != 0;
    options.analyzeDurationUs = kAnalyzeMs * 1000;
    armDeadline(options.network ? settings.timeoutMs + kAnalyzeMs : 0);
    demuxer_ = std::make_unique<Demuxer>(settings.uri, options, AVIOInterruptCB{&interruptCallback, this});
    const AVStream* stream = demuxer_->videoStream();
    decoder_ = std::make_unique<Decoder>(stream, settings.decodeThreads, settings.cpuDecode == 0);
    if (settings.cpuDecode == 0 && !decoder_->hardware() && !hardwareWarned_) {
        hardwareWarned_ = true;
        ILog::Warning("Video source %s: hardware decoding unavailable (%s), decoding on the CPU",
                      settings.name.c_str(), decoder_->fallbackReason().c_str());
    }
    streamInfo_ = std::make_shared<StreamInfo>(stream);
    timeBase_ = stream->time_base;
    const double fps = frameRateOf(stream);
    intervalMs_ = 1000.0 / (fps > 0 ? fps : kDefaultFps);
    nominalFps_ = fps;
    const int width = stream->codecpar->width;
    const int height = stream->codecpar->height;
    stats_.opened(width, height, decoder_->description(), demuxer_->formatName(), fps);
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        info_ = (isFile() ? "file " : "stream ") + UriMask::hideCredentials(settings.uri) + " " +
                std::to_string(width) + "x" + std::to_string(height) + " " + decoder_->description() + " " +
                CommonUtils::formatDouble(fps, 2) + " fps";
    }
    state_ = State::Reading;
    online_ = true;
    ILog::Info("Video source %s opened: %s", settings.name.c_str(), getInfo().c_str());
}

void FFmpegVideoSource::stop() {
    stopRequested_ = true;
    online_ = false;
    { std::lock_guard<std::mutex> lock(waitMutex_); }
    waitCv_.notify_all();
    ring_.markEnded();
}

void FFmpegVideoSource::close() {
    if (packetPending_) {
        av_packet_unref(packet_.get());
        packetPending_ = false;
    }
    decoder_.reset();
    demuxer_.reset();
    state_ = State::Closed;
    online_ = false;
    ring_.markEnded();
}

void FFmpegVideoSource::endStream() {
    state_ = State::Ended;
    online_ = false;
    ring_.markEnded();
}

FrameWithInfoPtr FFmpegVideoSource::getFrameImpl() {
    if (stopRequested_) {
        close();
        return poisonFrame();
    }
    if (state_ != State::Reading && state_ != State::Draining) {
        return endOfStreamFrame();
    }
    auto frame = decodeNext();
    if (stopRequested_) {
        close();
        return poisonFrame();
    }
    return frame ? frame : endOfStreamFrame();
}

FrameWithInfoPtr FFmpegVideoSource::decodeNext() {
    while (!stopRequested_) {
        int ret = decoder_->receive(frame_.get());
        if (ret == 0) {
            auto delivered = deliver(frame_.get());
            av_frame_unref(frame_.get());
            if (delivered) {
                return delivered;
            }
            continue;
        }
        if (ret == AVERROR_EOF) {
            endStream();
            return nullptr;
        }
        if (ret != AVERROR(EAGAIN)) {
            stats_.dropped();
            ILog::Debug("Video source %s: decoding failed: %s", settings.name.c_str(),
                        avErrorText(ret).c_str());
            continue;
        }
        if (state_ == State::Draining) {
            endStream();
            return nullptr;
        }
        if (!packetPending_ && !readVideoPacket()) {
            if (stopRequested_) {
                return nullptr;
            }
            decoder_->flush();
            state_ = State::Draining;
            continue;
        }
        ret = decoder_->send(packet_.get(), static_cast<int64_t>(pendingSeq_));
        if (ret == AVERROR(EAGAIN)) {
            continue;
        }
        av_packet_unref(packet_.get());
        packetPending_ = false;
        if (ret < 0) {
            stats_.dropped();
            ILog::Debug("Video source %s: packet rejected: %s", settings.name.c_str(),
                        avErrorText(ret).c_str());
        }
    }
    return nullptr;
}

bool FFmpegVideoSource::readVideoPacket() {
    while (true) {
        armDeadline(kind_ == Kind::Network ? settings.timeoutMs : 0);
        const int ret = demuxer_->read(packet_.get());
        if (ret < 0) {
            if (ret != AVERROR_EOF && !stopRequested_) {
                const auto reason =
                    "reading " + UriMask::hideCredentials(settings.uri) + " failed: " + avErrorText(ret);
                ILog::Warning("Video source %s: %s", settings.name.c_str(), reason.c_str());
            }
            return false;
        }
        if (packet_->stream_index != demuxer_->videoIndex()) {
            av_packet_unref(packet_.get());
            continue;
        }
        pendingSeq_ = nextSeq_++;
        packetPending_ = true;
        const int64_t mediaMs = packetMediaMs(packet_.get());
        std::optional<int64_t> ptsMs;
        if (packet_->pts != AV_NOPTS_VALUE) {
            ptsMs = av_rescale_q(packet_->pts, timeBase_, AVRational{1, 1000});
        }
        ring_.push(packet_.get(), pendingSeq_, mediaMs, ptsMs, streamInfo_);
        return true;
    }
}

int64_t FFmpegVideoSource::packetMediaMs(const AVPacket* packet) {
    const int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    lastPacketMediaMs_ = time != AV_NOPTS_VALUE ? av_rescale_q(time, timeBase_, AVRational{1, 1000})
                                                : lastPacketMediaMs_ + static_cast<int64_t>(intervalMs_);
    return lastPacketMediaMs_;
}

FrameWithInfoPtr FFmpegVideoSource::deliver(const AVFrame* frame) {
    const int64_t pts = frame->best_effort_timestamp;
    lastFrameMediaMs_ = pts != AV_NOPTS_VALUE ? av_rescale_q(pts, timeBase_, AVRational{1, 1000})
                                              : lastFrameMediaMs_ + static_cast<int64_t>(intervalMs_);
    cv::Mat image;
    try {
        image = converter_.convert(frame);
    } catch (const std::exception& e) {
        stats_.dropped();
        ILog::Debug("Video source %s: %s", settings.name.c_str(), e.what());
        return nullptr;
    }
    const int64_t ts = clock_.stamp(lastFrameMediaMs_, intervalMs_, CommonUtils::getTs());
    if (paced_ && !waitUntil(ts)) {
        return nullptr;
    }
    ring_.stamp(static_cast<uint64_t>(Decoder::seqOf(frame)), ts + correctionTs);
    stats_.frameDelivered(ts);
    stats_.setBufferedPackets(ring_.size());
    return frameWith(std::move(image), ts);
}

bool FFmpegVideoSource::waitUntil(int64_t ts) {
    std::unique_lock<std::mutex> lock(waitMutex_);
    for (int64_t now = CommonUtils::getTs(); now < ts && !stopRequested_; now = CommonUtils::getTs()) {
        waitCv_.wait_for(lock, std::chrono::milliseconds(ts - now), [this] { return stopRequested_.load(); });
    }
    return !stopRequested_;
}

FrameWithInfoPtr FFmpegVideoSource::frameWith(cv::Mat image, int64_t ts) const {
    auto f = std::make_shared<FrameWithInfo>();
    f->frame = std::make_shared<ek::pipeline::Frame>(std::move(image));
    f->frame->guid = CommonUtils::genGuid();
    f->frame->sourceId = settings.id;
    f->frame->cameraType = settings.cameraType;
    f->frame->cameraName = settings.name;
    f->frame->timestamp = ts;
    return f;
}

FrameWithInfoPtr FFmpegVideoSource::endOfStreamFrame() const {
    return frameWith(cv::Mat(), CommonUtils::getTs());
}

FrameWithInfoPtr FFmpegVideoSource::poisonFrame() const {
    auto f = frameWith(cv::Mat(), CommonUtils::getTs());
    f->poison = true;
    return f;
}

nlohmann::json FFmpegVideoSource::getStatistics() const {
    auto json = stats_.json(online_.load());
    json["name"] = settings.name;
    json["uri"] = UriMask::hideCredentials(settings.uri);
    json["bufferFrames"] = getSizeBufferFrames();
    return json;
}

std::vector<std::shared_ptr<Packet>> FFmpegVideoSource::getEncodedFrames(int64_t from, int64_t to) {
    const int64_t wait =
        std::clamp<int64_t>(to - CommonUtils::getTs() + kClipGraceMs, 0, ring_.spanMs() + kClipGraceMs);
    // A clip's window is laid around its event's first reading; its packets are those of the
    // connection that was up then.
    const int64_t anchor = std::clamp(from + settings.recordTimeBeforeEvent, from, std::max(from, to));
    return ring_.get(from, to, anchor, std::chrono::steady_clock::now() + std::chrono::milliseconds(wait));
}

uint64_t FFmpegVideoSource::getSizeBufferFrames() const {
    const int64_t span = ring_.spanMs();
    if (span <= 0) {
        return 0;
    }
    const double fps = nominalFps_.load() > 0 ? nominalFps_.load() : kDefaultFps;
    return static_cast<uint64_t>(std::ceil(static_cast<double>(span) * fps / 1000.0));
}

std::string FFmpegVideoSource::getInfo() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return info_;
}

}  // namespace ek::video
