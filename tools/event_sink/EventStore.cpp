#include "tools/event_sink/EventStore.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>

using nlohmann::json;

namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// "frames[0].image" -> the JSON pointer "/frames/0/image".
json::json_pointer pointerOf(const std::string& path) {
    std::string pointer = "/";
    for (char c : path) {
        pointer += (c == '.' || c == '[') ? '/' : c;
    }
    std::string cleaned;
    for (char c : pointer) {
        if (c != ']') {
            cleaned += c;
        }
    }
    return json::json_pointer(cleaned);
}

}  // namespace

EventStore::EventStore(std::filesystem::path folder, std::FILE* summaryOut, std::string clipPrefix)
    : folder_(std::move(folder)), out_(summaryOut), clipPrefix_(std::move(clipPrefix)) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error || !std::filesystem::is_directory(folder_)) {
        throw std::runtime_error("cannot create the folder " + folder_.string() + ": " + error.message());
    }
}

std::string EventStore::safeName(const std::string& guid) {
    std::string name = guid;
    for (char& c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_';
        c = ok ? c : '_';
    }
    return name;
}

std::string EventStore::summary(const json& event, size_t images, const std::string& clipPrefix) {
    std::string plates;
    double best = 0.0;
    for (const auto& plate : event.at("evts")) {
        plates += (plates.empty() ? "" : ",") + plate.at("num").get<std::string>();
        best = std::max(best, plate.at("confidence").get<double>());
    }
    char confidence[32];
    std::snprintf(confidence, sizeof(confidence), "%.2f", best);
    std::string clips;
    for (const auto& clip : event.value("videos", json::array())) {
        clips += (clips.empty() ? " clips=" : ",") + clipPrefix + safeName(clip.at("id").get<std::string>()) +
                 ".mp4";
    }
    return "event lane=" + std::to_string(event.at("laneId").get<int64_t>()) +
           " plates=" + (plates.empty() ? "-" : plates) + " confidence=" + confidence +
           " images=" + std::to_string(images) + " guid=" + event.at("guid").get<std::string>() + clips;
}

std::string EventStore::store(json event, const std::vector<ReceivedImage>& images, bool multipart) {
    const std::string dir = safeName(event.at("guid").get<std::string>());
    const std::string line = summary(event, images.size(), clipPrefix_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!images.empty()) {
        std::filesystem::create_directories(folder_ / dir);
    }
    for (const auto& image : images) {
        std::string file = dir + "/" + image.name + ".jpg";
        writeFile(folder_ / file, image.jpeg);
        json& entry = event.at(pointerOf(image.path));
        entry.erase("data");
        entry.erase("part");
        entry["file"] = file;
    }
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    event["_sink"] = {{"receivedMs", now}, {"multipart", multipart}};
    std::ofstream log(folder_ / "events.jsonl", std::ios::app);
    log << event.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    if (!log.flush()) {
        throw std::runtime_error("cannot append to " + (folder_ / "events.jsonl").string());
    }
    if (out_ != nullptr) {
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
    }
    return line;
}
