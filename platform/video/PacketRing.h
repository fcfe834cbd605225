#pragma once

extern "C" {
#include <libavcodec/packet.h>
}

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "StreamInfo.h"
#include "qo_common/video/Packet.h"

namespace ek::video {

// The recent encoded packets of one source, in decode order, always starting at a keyframe.
// Whole groups of pictures leave from the front once the rest still spans `spanMs` of stream
// time. A packet gets its timestamp when the frame decoded from it is delivered (stamp); only
// stamped packets are handed out. Thread-safe: the producer pushes and stamps, report threads get.
class PacketRing {
  public:
    // spanMs 0: the ring keeps nothing.
    explicit PacketRing(int64_t spanMs);
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Keeps a reference to `packet`; packets before the first keyframe are not kept.
    // `mediaMs`: the packet's stream time, which measures the span.
    void push(const AVPacket* packet, uint64_t seq, int64_t mediaMs,
              std::shared_ptr<const StreamInfo> stream);
    // The frame of packet `seq` was delivered with `timestamp`.
    void stamp(uint64_t seq, int64_t timestamp);
    // A new stream begins (reopen): the packets of the old one are dropped.
    void clear();
    // No packets will follow until the next clear (end of stream, stop): wakes waiting readers.
    void markEnded();

    // Fresh references, in decode order, from the keyframe at or before `from` up to the last packet
    // stamped at or before `to`. Waits (at most until `deadline` on the steady clock) while the
    // newest stamped packet is not later than `to` and the stream goes on.
    std::vector<std::shared_ptr<Packet>> get(int64_t from, int64_t to,
                                             std::chrono::steady_clock::time_point deadline);

    uint64_t size() const;
    int64_t spanMs() const { return spanMs_; }

  private:
    struct Entry {
        AVPacket* packet = nullptr;
        uint64_t seq = 0;
        int64_t mediaMs = 0;
        bool key = false;
        int64_t timestamp = 0;
        bool stamped = false;
        std::shared_ptr<const StreamInfo> stream;
    };

    void evict();
    void dropFront();
    std::vector<std::shared_ptr<Packet>> collect(int64_t from, int64_t to) const;

    const int64_t spanMs_;
    const uint64_t maxPackets_;
    mutable std::mutex mutex_;
    std::condition_variable stamped_;
    std::deque<Entry> entries_;
    int64_t newestStamp_ = 0;
    bool hasStamp_ = false;
    bool ended_ = false;
};

}  // namespace ek::video
