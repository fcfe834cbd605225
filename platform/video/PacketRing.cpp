#include "PacketRing.h"

#include <algorithm>
#include <stdexcept>

namespace ek::video {

namespace {

// A stream without keyframes for this long would otherwise grow the ring without bound.
constexpr uint64_t kMaxPacketsPerSecond = 240;
constexpr uint64_t kMinMaxPackets = 1000;

}  // namespace

PacketRing::PacketRing(int64_t spanMs)
    : spanMs_(spanMs),
      maxPackets_(
          std::max<uint64_t>(kMinMaxPackets, static_cast<uint64_t>(spanMs) * kMaxPacketsPerSecond / 1000)) {}

PacketRing::~PacketRing() {
    clear();
}

void PacketRing::push(const AVPacket* packet, uint64_t seq, int64_t mediaMs,
                      std::shared_ptr<const StreamInfo> stream) {
    if (spanMs_ <= 0) {
        return;
    }
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = false;
    if (entries_.empty() && !key) {
        return;
    }
    Entry entry;
    entry.packet = av_packet_alloc();
    if (entry.packet == nullptr || av_packet_ref(entry.packet, packet) < 0) {
        av_packet_free(&entry.packet);
        throw std::runtime_error("video: cannot keep a reference to an encoded packet");
    }
    entry.seq = seq;
    entry.mediaMs = mediaMs;
    entry.key = key;
    entry.stream = std::move(stream);
    entries_.push_back(std::move(entry));
    evict();
}

void PacketRing::evict() {
    // Drop the oldest group of pictures while the groups after it still cover the span.
    while (entries_.size() > 1) {
        auto next = std::find_if(entries_.begin() + 1, entries_.end(), [](const Entry& e) { return e.key; });
        if (next == entries_.end() || entries_.back().mediaMs - next->mediaMs < spanMs_) {
            break;
        }
        for (auto count = next - entries_.begin(); count > 0; --count) {
            dropFront();
        }
    }
    if (entries_.size() > maxPackets_) {
        dropFront();
        while (!entries_.empty() && !entries_.front().key) {
            dropFront();
        }
    }
}

void PacketRing::dropFront() {
    av_packet_free(&entries_.front().packet);
    entries_.pop_front();
}

void PacketRing::stamp(uint64_t seq, int64_t timestamp) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.empty() || seq < entries_.front().seq) {
            return;
        }
        // Sequence numbers are consecutive from the front, so the entry is found by position;
        // the search covers a gap left by a packet dropped before the first keyframe.
        auto index = std::min<uint64_t>(seq - entries_.front().seq, entries_.size() - 1);
        while (index > 0 && entries_[index].seq > seq) {
            --index;
        }
        auto& entry = entries_[index];
        if (entry.seq != seq) {
            return;
        }
        entry.timestamp = timestamp;
        entry.stamped = true;
        newestStamp_ = hasStamp_ ? std::max(newestStamp_, timestamp) : timestamp;
        hasStamp_ = true;
    }
    stamped_.notify_all();
}

void PacketRing::clear() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!entries_.empty()) {
            dropFront();
        }
        hasStamp_ = false;
        newestStamp_ = 0;
        ended_ = false;
    }
    stamped_.notify_all();
}

void PacketRing::markEnded() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    stamped_.notify_all();
}

std::vector<std::shared_ptr<Packet>> PacketRing::get(int64_t from, int64_t to,
                                                     std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    stamped_.wait_until(lock, deadline, [&] { return ended_ || (hasStamp_ && newestStamp_ > to); });
    return collect(from, to);
}

std::vector<std::shared_ptr<Packet>> PacketRing::collect(int64_t from, int64_t to) const {
    // Start: the last stamped keyframe at or before `from`, else the first keyframe.
    size_t start = entries_.size();
    for (size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (!e.key || !e.stamped) {
            continue;
        }
        if (start == entries_.size() || e.timestamp <= from) {
            start = i;
        }
        if (e.timestamp > from) {
            break;
        }
    }
    // End: the last stamped packet at or before `to` (decode order may differ from time order).
    size_t end = start;
    for (size_t i = start; i < entries_.size(); ++i) {
        if (entries_[i].stamped && entries_[i].timestamp <= to) {
            end = i + 1;
        }
    }
    std::vector<std::shared_ptr<Packet>> packets;
    packets.reserve(end - start);
    for (size_t i = start; i < end; ++i) {
        const auto& e = entries_[i];
        if (e.stamped) {
            std::shared_ptr<const void> owner = e.stream;
            packets.push_back(std::make_shared<Packet>(e.packet, e.timestamp, e.stream->stream(), owner));
        }
    }
    return packets;
}

uint64_t PacketRing::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace ek::video
