#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/event_poster/SpooledRequest.h"

// A directory of ready requests, one file each, oldest first. A file is written whole under a
// temporary name, flushed to disk and renamed, so a crash leaves either the whole request or a
// temporary file that the next start removes. The files outlive the process: a new spool over the
// same directory takes them up in their order.
//
// Safe to use from several threads (the poster appends, the delivery thread reads and removes).
class EventSpool {
  public:
    // What the spool knows of a request without reading its file.
    struct Entry {
        uint64_t seq = 0;
        uint64_t bytes = 0;
        int64_t spooledAt = 0;
        std::string guid;
        std::string lane;
        std::string plate;
        std::filesystem::path file;
    };

    // Creates the directory (and its "refused" subdirectory) when missing, removes temporary files
    // of an interrupted write and indexes the spooled requests. Throws std::runtime_error naming the
    // directory when it cannot be made or read. Each file removed or unreadable is reported through
    // `dropped` of the returned spool (see takeDropped).
    EventSpool(std::filesystem::path directory, uint64_t maxBytes);

    // Writes the request as the newest file. To stay within the bound the oldest requests are
    // dropped first; a request larger than the whole bound is not written. Both kinds of drop are
    // returned (with the reason) for the caller to log. Throws std::runtime_error naming the event
    // and the file when the file cannot be written.
    struct Drop {
        Entry entry;
        std::string reason;
    };
    std::vector<Drop> append(const SpooledRequest& request);

    // The oldest request, without reading its file.
    std::optional<Entry> oldest() const;
    // Reads the whole request of `entry`. Throws std::runtime_error naming the file when it is gone
    // or malformed.
    SpooledRequest read(const Entry& entry) const;
    // Forgets and deletes the request; false when it was no longer spooled (dropped meanwhile).
    bool remove(uint64_t seq);
    // Moves the request into "refused/" beside the spool; false when it was no longer spooled.
    bool refuse(uint64_t seq);

    // Entries dropped while indexing at start (unreadable files), for the owner to log once.
    std::vector<Drop> takeDropped();

    size_t count() const;
    uint64_t bytes() const;
    const std::filesystem::path& directory() const { return directory_; }
    std::filesystem::path refusedDirectory() const { return directory_ / "refused"; }

  private:
    void index();
    std::optional<Entry> readHeader(const std::filesystem::path& file, uint64_t seq,
                                    std::string& problem) const;
    void forget(std::deque<Entry>::iterator it);

    const std::filesystem::path directory_;
    const uint64_t maxBytes_;
    mutable std::mutex mutex_;
    std::deque<Entry> entries_;
    uint64_t bytes_ = 0;
    uint64_t nextSeq_ = 1;
    std::vector<Drop> startDrops_;
};
