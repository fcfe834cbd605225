#include "PacketRing.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace ek::video {

namespace {

// A stream without keyframes for this long would otherwise grow the ring without bound.
constexpr uint64_t kMaxPacketsPerSecond = 240;
constexpr uint64_t kMinMaxPackets = 1000;
constexpr size_t kNone = static_cast<size_t>(-1);

}  // namespace

PacketRing::PacketRing(int64_t spanMs)
    : spanMs_(spanMs),
      maxPackets_(
          std::max<uint64_t>(kMinMaxPackets, static_cast<uint64_t>(spanMs) * kMaxPacketsPerSecond / 1000)) {}

PacketRing::~PacketRing() {
    while (!entries_.empty()) {
        dropFront();
    }
}

void PacketRing::push(const AVPacket* packet, uint64_t seq, int64_t mediaMs, std::optional<int64_t> ptsMs,
                      std::shared_ptr<const StreamInfo> stream) {
    if (spanMs_ <= 0) {
        return;
    }
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_.empty()) {
        connections_.emplace_back().id = ++nextConnection_;
    }
    Connection& connection = connections_.back();
    connection.ended = false;
    if (!connection.started) {
        if (!key) {
            return;
        }
        // This connection's stream time goes on where the previous one's stopped.
        connection.started = true;
        connection.clockOffset = (entries_.empty() ? 0 : entries_.back().clockMs) - mediaMs;
    }
    Entry entry;
    entry.packet = av_packet_alloc();
    if (entry.packet == nullptr || av_packet_ref(entry.packet, packet) < 0) {
        av_packet_free(&entry.packet);
        throw std::runtime_error("video: cannot keep a reference to an encoded packet");
    }
    entry.seq = seq;
    entry.connection = connection.id;
    entry.clockMs = mediaMs + connection.clockOffset;
    entry.ptsMs = ptsMs;
    entry.key = key;
    entry.stream = std::move(stream);
    entries_.push_back(std::move(entry));
    evict();
}

void PacketRing::evict() {
    // Drop the oldest group of pictures while the groups after it still cover the span.
    while (entries_.size() > 1) {
        auto next = std::find_if(entries_.begin() + 1, entries_.end(), [](const Entry& e) { return e.key; });
        if (next == entries_.end() || entries_.back().clockMs - next->clockMs < spanMs_) {
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
    pruneConnections();
}

void PacketRing::dropFront() {
    av_packet_free(&entries_.front().packet);
    entries_.pop_front();
}

void PacketRing::pruneConnections() {
    // Connections whose packets are all gone, except the current one.
    while (connections_.size() > 1 &&
           (entries_.empty() || entries_.front().connection > connections_.front().id)) {
        connections_.pop_front();
    }
}

PacketRing::Connection* PacketRing::connectionOf(uint64_t id) {
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
        if (it->id == id) {
            return &*it;
        }
    }
    return nullptr;
}

PacketRing::Connection* PacketRing::connectionAt(int64_t anchor) {
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
        if (it->hasStamp && it->firstStamp <= anchor) {
            return &*it;
        }
    }
    return nullptr;
}

void PacketRing::stamp(uint64_t seq, int64_t timestamp) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.empty() || seq < entries_.front().seq) {
            return;
        }
        // Sequence numbers are consecutive from the front, so the entry is found by position;
        // the search covers gaps left by packets dropped before a connection's first keyframe.
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
        Connection* connection = connectionOf(entry.connection);
        if (connection != nullptr) {
            if (!connection->hasStamp) {
                connection->firstStamp = timestamp;
                connection->newestStamp = timestamp;
            }
            connection->hasStamp = true;
            connection->newestStamp = std::max(connection->newestStamp, timestamp);
            if (entry.ptsMs && (!connection->newestPts || *connection->newestPts < *entry.ptsMs)) {
                connection->newestPts = entry.ptsMs;
            }
        }
    }
    stamped_.notify_all();
}

void PacketRing::beginConnection() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connections_.empty() && !connections_.back().started) {
            // A reopen that kept nothing (the camera is still away) needs no connection of its own.
            connections_.back().ended = false;
        } else {
            if (!connections_.empty()) {
                connections_.back().ended = true;
            }
            connections_.emplace_back().id = ++nextConnection_;
        }
        pruneConnections();
    }
    stamped_.notify_all();
}

void PacketRing::markEnded() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connections_.empty()) {
            connections_.back().ended = true;
        }
    }
    stamped_.notify_all();
}

PacketRing::Cut PacketRing::cut(const Connection& c, int64_t from, int64_t to) const {
    Cut result;
    // Start: the last stamped keyframe at or before `from`, else the connection's first one.
    size_t start = kNone;
    size_t blockEnd = entries_.size();
    for (size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (e.connection < c.id) {
            continue;
        }
        if (e.connection > c.id) {
            blockEnd = i;
            break;
        }
        if (!e.key || !e.stamped || (start != kNone && entries_[start].timestamp > from)) {
            continue;
        }
        if (start == kNone || e.timestamp <= from) {
            start = i;
        }
    }
    if (start == kNone) {
        // Its first keyframe has yet to be shown.
        result.settled = false;
        return result;
    }
    // End: the last stamped packet at or before `to` (decode order differs from time order).
    size_t end = start;
    for (size_t i = start; i < blockEnd; ++i) {
        if (entries_[i].stamped && entries_[i].timestamp <= to) {
            end = i + 1;
        }
    }
    if (end == start) {
        return result;
    }
    // The run: the packets from the start keyframe on, without the pictures that lead it.
    const std::optional<int64_t> startPts = entries_[start].ptsMs;
    std::vector<size_t> run;
    size_t ending = 0;  // packets of the run up to `end`
    bool timed = true;  // every packet of the run has a presentation time
    for (size_t i = start; i < blockEnd; ++i) {
        const auto& e = entries_[i];
        if (i > start && e.ptsMs && startPts && *e.ptsMs < *startPts) {
            continue;
        }
        timed = timed && e.ptsMs.has_value();
        run.push_back(i);
        if (i < end) {
            ending = run.size();
        }
    }
    // A prefix of the run shows a gapless stretch of frames when everything after it is shown later.
    std::vector<int64_t> laterMin(run.size() + 1, INT64_MAX);
    std::vector<int64_t> soFarMax(run.size() + 1, INT64_MIN);
    for (size_t k = run.size(); timed && k > 0; --k) {
        laterMin[k - 1] = std::min(laterMin[k], *entries_[run[k - 1]].ptsMs);
    }
    for (size_t k = 0; timed && k < run.size(); ++k) {
        soFarMax[k + 1] = std::max(soFarMax[k], *entries_[run[k]].ptsMs);
    }
    auto gapless = [&](size_t n) { return !timed || soFarMax[n] < laterMin[n]; };
    // Up to `end` and on to the end of its stretch: the frames between `to` and the picture they
    // were predicted from.
    while (ending < run.size() && !gapless(ending)) {
        ++ending;
    }
    // Packets still to come may be shown before the newest ones.
    result.settled = ending < run.size() || c.ended;
    size_t taken = 0;
    for (; taken < ending; ++taken) {
        const auto& e = entries_[run[taken]];
        if (!e.stamped) {
            // Later packets may refer to it. A frame shown after the newest one is still being
            // decoded; an earlier one the decoder dropped. Without a time it may still come.
            result.settled = result.settled && e.ptsMs && c.newestPts && *e.ptsMs <= *c.newestPts;
            break;
        }
    }
    while (taken > 1 && !gapless(taken)) {
        --taken;
    }
    result.positions.assign(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(taken));
    return result;
}

bool PacketRing::ready(int64_t from, int64_t to, int64_t anchor) {
    const Connection* c = connectionAt(anchor);
    if (c == nullptr) {
        // Only a connection that has shown nothing yet may still bring the anchor.
        return connections_.empty() || connections_.back().ended || connections_.back().hasStamp;
    }
    if (c->ended || c != &connections_.back()) {
        return true;
    }
    return c->newestStamp > to && cut(*c, from, to).settled;
}

std::vector<std::shared_ptr<Packet>> PacketRing::get(int64_t from, int64_t to, int64_t anchor,
                                                     std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    stamped_.wait_until(lock, deadline, [&] { return ready(from, to, anchor); });
    return collect(from, to, anchor);
}

std::vector<std::shared_ptr<Packet>> PacketRing::collect(int64_t from, int64_t to, int64_t anchor) {
    const Connection* c = connectionAt(anchor);
    if (c == nullptr) {
        return {};
    }
    const Cut run = cut(*c, from, to);
    std::vector<std::shared_ptr<Packet>> packets;
    packets.reserve(run.positions.size());
    for (size_t i : run.positions) {
        const auto& e = entries_[i];
        std::shared_ptr<const void> owner = e.stream;
        packets.push_back(std::make_shared<Packet>(e.packet, e.timestamp, e.stream->stream(), owner));
    }
    return packets;
}

uint64_t PacketRing::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace ek::video
