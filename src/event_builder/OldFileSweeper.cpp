#include "src/event_builder/OldFileSweeper.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "qo_common/logger/log.h"

namespace fs = std::filesystem;

namespace {

// Whole seconds since the Unix epoch of a file time. The file clock of this standard library is not
// the system clock (its epoch lies ~6.4e9 s away), so it is converted, never compared raw.
int64_t unixSeconds(fs::file_time_type time) {
    const auto system = std::chrono::file_clock::to_sys(time);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

int64_t unixSeconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Removes `entry` when it is an old regular file; logs what it did or why it could not.
void sweepEntry(const fs::directory_entry& entry, const std::string& prefix, int64_t now) {
    const fs::path& path = entry.path();
    if (!startsWith(path.filename().string(), prefix)) {
        return;
    }
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(path, ec))) {
        return;
    }
    const auto written = fs::last_write_time(path, ec);
    if (ec) {
        ILog::Warning("Can`t read the time of %s: %s", path.c_str(), ec.message().c_str());
        return;
    }
    if (now - unixSeconds(written) <= OldFileSweeper::kMaxAge.count()) {
        return;
    }
    if (!fs::remove(path, ec) || ec) {
        ILog::Warning("Can`t delete old file %s: %s", path.c_str(),
                      ec ? ec.message().c_str() : "it is already gone");
        return;
    }
    ILog::Info("The file was deleted because it is older than 5 minutes: %s", path.c_str());
}

}  // namespace

OldFileSweeper::OldFileSweeper(std::string builderName, std::vector<std::string> savePaths,
                               std::mutex& diskLock, std::chrono::milliseconds period)
    : builderName_(std::move(builderName)),
      savePaths_(std::move(savePaths)),
      diskLock_(diskLock),
      period_(period),
      thread_([this] { run(); }) {}

OldFileSweeper::~OldFileSweeper() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

OldFileSweeper::Target OldFileSweeper::targetOf(const std::string& savePath) {
    const fs::path path(savePath);
    // A bare prefix ("cam1_") names files of the working directory.
    const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
    return {directory.string(), path.filename().string()};
}

void OldFileSweeper::sweep(const std::string& savePath, std::mutex& diskLock) {
    sweepAt(savePath, diskLock, std::chrono::system_clock::now());
}

void OldFileSweeper::sweepAt(const std::string& savePath, std::mutex& diskLock,
                             std::chrono::system_clock::time_point now) {
    if (savePath.empty()) {
        return;
    }
    const Target target = targetOf(savePath);
    std::lock_guard<std::mutex> lock(diskLock);
    std::error_code ec;
    if (!fs::is_directory(target.directory, ec)) {
        ILog::Error("The specified directory does not exist or is not a directory: %s",
                    target.directory.c_str());
        return;
    }
    fs::directory_iterator it(target.directory, ec);
    if (ec) {
        ILog::Error("Can`t list directory %s: %s", target.directory.c_str(), ec.message().c_str());
        return;
    }
    const int64_t nowSeconds = unixSeconds(now);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        sweepEntry(*it, target.prefix, nowSeconds);
    }
    if (ec) {
        ILog::Error("Can`t list directory %s: %s", target.directory.c_str(), ec.message().c_str());
    }
}

void OldFileSweeper::run() {
    ILog::Info("%s: Run thread for deleting old files", builderName_.c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        try {
            for (const auto& path : savePaths_) {
                sweep(path, diskLock_);
            }
        } catch (const std::exception& e) {
            // Only the log front can throw here; the thread must not end the process.
            ILog::Error("%s: Old file sweep failed: %s", builderName_.c_str(), e.what());
        }
        lock.lock();
        wake_.wait_for(lock, period_, [this] { return stopping_; });
    }
    ILog::Info("%s: Stop thread for deleting old files", builderName_.c_str());
}
