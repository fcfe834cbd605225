#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Packet;

// Writes an MP4 clip from a camera's encoded packets by stream copy: nothing is decoded or encoded.
//
// The packets are taken in the order `IVideoSource::getEncodedFrames` returns them, which is decode
// order, the first one a keyframe; each carries the time of the frame decoded from it. They are
// written in that order, so clips of streams with B-frames decode; the clip's frames then come
// out in timestamp order, one frame step apart. Packets without data are not written.
//
//   ClipWriter clip(source->getEncodedFrames(from, to));      // throws on an empty list
//   auto rects = ring.rects(clip.firstTimestamp() - correction, clip.lastTimestamp() - correction);
//   ... metadata element i describes clip frame i: clip.frameTimestamps()[i] ...
//   clip.write(path);                                          // throws; leaves no file then
//
// Threads: a ClipWriter is used by one thread; different ClipWriters may run at once, also on
// the same packets (the packets are only read).
class ClipWriter {
  public:
    // Throws std::invalid_argument when `packets` is empty, holds a null entry or packets of more
    // than one stream, or when no packet holds data.
    explicit ClipWriter(std::vector<std::shared_ptr<Packet>> packets);

    // The packet timestamps (ms, the camera's packet clock) of the written packets, ascending:
    // element i is the time of decoded clip frame i. Equal timestamps keep their decode order.
    const std::vector<int64_t>& frameTimestamps() const { return frameTimestamps_; }
    // The smallest and largest timestamp of all packets given, those without data included.
    int64_t firstTimestamp() const { return firstTimestamp_; }
    int64_t lastTimestamp() const { return lastTimestamp_; }

    // Writes the clip to `path` (the container follows from its extension, ".mp4"), replacing a
    // file that is there. The frame rate is the stream's r_frame_rate when it is usable, else its
    // avg_frame_rate, else the median interval of the timestamps (each fallback logs a Warning).
    // Throws std::runtime_error whose text is the failing step, e.g. "Failed to write header, code
    // error = -22, error message: Invalid argument"; the partial file is then removed.
    void write(const std::string& path) const;

  private:
    std::vector<std::shared_ptr<Packet>> packets_;  // the written ones, in decode order
    std::vector<int64_t> ranks_;                    // per written packet: its place in timestamp order
    std::vector<int64_t> frameTimestamps_;
    int64_t firstTimestamp_ = 0;
    int64_t lastTimestamp_ = 0;
};
