#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BgrConverter.h"
#include "Decoder.h"
#include "Demuxer.h"
#include "FFmpegPtr.h"
#include "FrameClock.h"
#include "PacketRing.h"
#include "SourceStatistics.h"
#include "StreamInfo.h"
#include "qo_common/video/IVideoSource.h"

namespace ek::video {

// A file or network stream read with libavformat, decoded with libavcodec and converted to BGR
// with libswscale, all in the producer's thread (the decoder runs FFmpeg's own threads).
//
// A file is paced at its frame rate unless `pacing` is off. A network stream is read with the
// `timeoutMs` time-out: a stream that stops answering ends with an end-of-stream frame, and the
// producer reconnects it with open. stop() only raises a flag, which FFmpeg's interrupt callback
// and the pacing wait both watch, so it never blocks and cuts a blocked open or read short.
class FFmpegVideoSource : public IVideoSource {
  public:
    enum class Kind { File, Network };

    // A URI with a scheme other than "file" (any case): a camera or server, not a file.
    static bool isNetworkUri(const std::string& uri);

    FFmpegVideoSource(VideoSourceSettings settings, Kind kind);
    ~FFmpegVideoSource() override;

    void open() override;
    void stop() override;
    void probe() override;
    bool isFile() const override { return kind_ == Kind::File; }
    bool isOnline() const override { return online_.load(); }
    nlohmann::json getStatistics() const override;
    // Packets of one connection only: the one that was up at from + recordTimeBeforeEvent (the
    // event's first reading, as clip windows are asked for), also after the source reconnected.
    // The run ends where nothing kept refers to a packet left out, so it decodes to its end.
    std::vector<std::shared_ptr<Packet>> getEncodedFrames(int64_t from, int64_t to) override;
    uint64_t getSizeBufferFrames() const override;
    std::string getInfo() const override;

  protected:
    FrameWithInfoPtr getFrameImpl() override;

  private:
    enum class State { Closed, Reading, Draining, Ended };

    static int interruptCallback(void* opaque);
    void armDeadline(int64_t ms);
    void openStream();
    void close();
    void endStream();

    FrameWithInfoPtr decodeNext();
    // Reads the next video packet into packet_; false at the end or on an error (logged).
    bool readVideoPacket();
    FrameWithInfoPtr deliver(const AVFrame* frame);
    // Waits until the wall clock reaches `ts`; false when stopped meanwhile.
    bool waitUntil(int64_t ts);
    int64_t packetMediaMs(const AVPacket* packet);

    FrameWithInfoPtr frameWith(cv::Mat image, int64_t ts) const;
    FrameWithInfoPtr endOfStreamFrame() const;
    FrameWithInfoPtr poisonFrame() const;

    const Kind kind_;
    const bool paced_;
    FrameClock clock_;
    PacketRing ring_;
    SourceStatistics stats_;

    // Producer-thread state.
    BgrConverter converter_;
    std::unique_ptr<Demuxer> demuxer_;
    std::unique_ptr<Decoder> decoder_;
    std::shared_ptr<const StreamInfo> streamInfo_;
    AVPacketPtr packet_;
    AVFramePtr frame_;
    bool packetPending_ = false;
    uint64_t pendingSeq_ = 0;
    uint64_t nextSeq_ = 0;
    State state_ = State::Closed;
    AVRational timeBase_{1, 1000};
    double intervalMs_ = 40.0;
    int64_t lastPacketMediaMs_ = 0;
    int64_t lastFrameMediaMs_ = 0;
    bool hardwareWarned_ = false;

    // Shared with other threads.
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> online_{false};
    std::atomic<int64_t> deadline_{0};
    std::atomic<double> nominalFps_{0.0};
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
    mutable std::mutex infoMutex_;
    std::string info_;
};

}  // namespace ek::video
