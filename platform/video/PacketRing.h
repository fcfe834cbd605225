#pragma once

extern "C" {
#include <libavcodec/packet.h>
}

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "StreamInfo.h"
#include "qo_common/video/Packet.h"

namespace ek::video {

// The recent encoded packets of one source, in decode order, each connection's starting at a
// keyframe. A reconnect begins a new connection; the packets of earlier ones stay until they age
// out like any other: whole groups of pictures leave from the front once the rest still spans
// `spanMs` of stream time (the stream times of successive connections are laid end to end).
// A packet gets its timestamp when the frame decoded from it is delivered (stamp); only stamped
// packets are handed out, and never packets of two connections together.
// Thread-safe: the producer pushes and stamps, report threads get.
class PacketRing {
  public:
    // spanMs 0: the ring keeps nothing.
    explicit PacketRing(int64_t spanMs);
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Keeps a reference to `packet`; packets before the connection's first keyframe are not kept.
    // `mediaMs`: the packet's decode time, which measures the span; `ptsMs`: its presentation time,
    // when the stream gives one (both in the stream's clock, ms).
    void push(const AVPacket* packet, uint64_t seq, int64_t mediaMs, std::optional<int64_t> ptsMs,
              std::shared_ptr<const StreamInfo> stream);
    // The frame of packet `seq` was delivered with `timestamp`.
    void stamp(uint64_t seq, int64_t timestamp);
    // A new connection begins (open, reopen); the current one has ended.
    void beginConnection();
    // No packets will follow until the next connection (end of stream, stop): wakes waiting readers.
    void markEnded();

    // Fresh references, in decode order, of the connection that was up at `anchor`: the last one
    // whose first frame came at or before it. They run from the keyframe at or before `from` (else
    // the connection's first kept keyframe) up to the last packet stamped at or before `to`, and
    // are cut before the first packet whose frame is missing, so every packet handed out has all
    // its references with it and the clip decodes to its end; pictures that lead the first
    // keyframe (decoded after it, shown before it) are left out, as they may refer to packets
    // before it. While that connection goes on, waits (at most until `deadline` on the steady
    // clock) until a frame later than `to` came and every packet of the run has its frame.
    std::vector<std::shared_ptr<Packet>> get(int64_t from, int64_t to, int64_t anchor,
                                             std::chrono::steady_clock::time_point deadline);

    uint64_t size() const;
    int64_t spanMs() const { return spanMs_; }

  private:
    struct Entry {
        AVPacket* packet = nullptr;
        uint64_t seq = 0;
        uint64_t connection = 0;
        int64_t clockMs = 0;  // decode time on the ring's clock, continuous across connections
        std::optional<int64_t> ptsMs;
        bool key = false;
        int64_t timestamp = 0;
        bool stamped = false;
        std::shared_ptr<const StreamInfo> stream;
    };
    struct Connection {
        uint64_t id = 0;
        bool ended = false;
        bool started = false;  // a packet was kept: clockOffset is set
        int64_t clockOffset = 0;
        bool hasStamp = false;
        int64_t firstStamp = 0;
        int64_t newestStamp = 0;
        std::optional<int64_t> newestPts;  // the latest presentation time delivered
    };
    // What get hands out: positions in entries_, in decode order.
    struct Cut {
        std::vector<size_t> positions;
        bool settled = true;  // no packet of the run still waits for its frame
    };

    void evict();
    void dropFront();
    void pruneConnections();
    Connection* connectionAt(int64_t anchor);
    Connection* connectionOf(uint64_t id);
    Cut cut(const Connection& c, int64_t from, int64_t to) const;
    bool ready(int64_t from, int64_t to, int64_t anchor);
    std::vector<std::shared_ptr<Packet>> collect(int64_t from, int64_t to, int64_t anchor);

    const int64_t spanMs_;
    const uint64_t maxPackets_;
    mutable std::mutex mutex_;
    std::condition_variable stamped_;
    std::deque<Entry> entries_;
    std::deque<Connection> connections_;  // oldest first; the last is the current one
    uint64_t nextConnection_ = 0;
};

}  // namespace ek::video
