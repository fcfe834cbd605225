#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "tools/event_sink/EventValidator.h"

// Keeps received events in a folder: one JSON line per event in "events.jsonl" (pictures replaced
// by the names of their files) and the pictures in "<folder>/<event guid>/<frame_i|plate_i>.jpg".
// Prints one summary line per event. Safe to call from several server threads.
class EventStore {
  public:
    // Creates the folder when missing; throws std::runtime_error when it cannot. `clipPrefix` goes
    // before each clip id in the summary (the sender's clip folder, e.g. "demo-output/clips/").
    EventStore(std::filesystem::path folder, std::FILE* summaryOut, std::string clipPrefix = "");

    // Writes the pictures, appends the line, prints the summary; returns the summary line.
    // Throws std::runtime_error when a file cannot be written.
    std::string store(nlohmann::json event, const std::vector<ReceivedImage>& images, bool multipart);

    const std::filesystem::path& folder() const { return folder_; }

    // "event lane=<id> plates=<a,b|-> confidence=<best> images=<n> guid=<guid>", followed by
    // " clips=<prefix><id>.mp4,..." when the event names clips ("videos"; ids as safe names).
    static std::string summary(const nlohmann::json& event, size_t images,
                               const std::string& clipPrefix = "");
    // The guid as a file name: anything but letters, digits, '-' and '_' becomes '_'.
    static std::string safeName(const std::string& guid);

  private:
    std::filesystem::path folder_;
    std::FILE* out_;
    std::string clipPrefix_;
    std::mutex mutex_;
};
