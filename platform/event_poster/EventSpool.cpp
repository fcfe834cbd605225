#include "platform/event_poster/EventSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "qo_common/utils/BoundedJson.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kSuffix = ".event";
constexpr const char* kTemporarySuffix = ".tmp";
// A header holds a URL, a content type and the event's names; more is a damaged file.
constexpr size_t kMaxHeaderBytes = 64 * 1024;

std::string fileName(uint64_t seq, const char* suffix) {
    char name[32];
    std::snprintf(name, sizeof name, "%020llu", static_cast<unsigned long long>(seq));
    return name + std::string(suffix);
}

// The sequence number of a spool file name, or nothing for any other name.
std::optional<uint64_t> seqOf(const std::string& name) {
    const std::string suffix = kSuffix;
    if (name.size() != 20 + suffix.size() || name.compare(20, suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    uint64_t seq = 0;
    for (size_t i = 0; i < 20; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return std::nullopt;
        }
        seq = seq * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    return seq;
}

std::string systemError(const std::string& what, const fs::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

void writeAll(int fd, const std::string& data, const fs::path& path) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(systemError("cannot write", path));
        }
        done += static_cast<size_t>(n);
    }
}

// The rename is durable only once the directory itself is on disk.
void syncDirectory(const fs::path& directory) {
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        ::fsync(dir.get());
    }
}

std::string header(const SpooledRequest& r, uint64_t bodyBytes) {
    json h = {{"url", r.url},     {"contentType", r.contentType}, {"guid", r.guid},        {"lane", r.lane},
              {"plate", r.plate}, {"spooledAt", r.spooledAt},     {"bodyBytes", bodyBytes}};
    return h.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string textField(const json& h, const char* key) {
    const auto found = h.find(key);
    if (found == h.end() || !found->is_string()) {
        throw std::runtime_error(std::string("header without text \"") + key + "\"");
    }
    return found->get<std::string>();
}

int64_t integerField(const json& h, const char* key) {
    const auto found = h.find(key);
    if (found == h.end() || !found->is_number_integer()) {
        throw std::runtime_error(std::string("header without integer \"") + key + "\"");
    }
    return found->get<int64_t>();
}

}  // namespace

EventSpool::EventSpool(fs::path directory, uint64_t maxBytes)
    : directory_(std::move(directory)), maxBytes_(maxBytes) {
    std::error_code ec;
    fs::create_directories(refusedDirectory(), ec);
    if (ec || !fs::is_directory(directory_, ec)) {
        throw std::runtime_error("cannot make spool directory " + directory_.string() + ": " +
                                 (ec ? ec.message() : std::string("not a directory")));
    }
    index();
}

void EventSpool::index() {
    std::map<uint64_t, fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > std::strlen(kTemporarySuffix) &&
            name.compare(name.size() - std::strlen(kTemporarySuffix), std::string::npos, kTemporarySuffix) ==
                0) {
            // Half written when the process ended; its event was never handed over as spooled.
            fs::remove(it->path(), ec);
            startDrops_.push_back({Entry{0, 0, 0, "", "", "", it->path()}, "partial spool file removed"});
            continue;
        }
        if (auto seq = seqOf(name); seq && it->is_regular_file(ec)) {
            files.emplace(*seq, it->path());
        }
    }
    if (ec) {
        throw std::runtime_error("cannot read spool directory " + directory_.string() + ": " + ec.message());
    }
    for (const auto& [seq, file] : files) {
        nextSeq_ = std::max(nextSeq_, seq + 1);
        std::string problem;
        if (auto entry = readHeader(file, seq, problem)) {
            bytes_ += entry->bytes;
            entries_.push_back(std::move(*entry));
        } else {
            fs::remove(file, ec);
            startDrops_.push_back({Entry{seq, 0, 0, "", "", "", file}, "unreadable spool file: " + problem});
        }
    }
}

std::optional<EventSpool::Entry> EventSpool::readHeader(const fs::path& file, uint64_t seq,
                                                        std::string& problem) const {
    try {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            throw std::runtime_error(systemError("cannot open", file));
        }
        std::string line;
        char c;
        while (in.get(c) && c != '\n') {
            if (line.size() >= kMaxHeaderBytes) {
                throw std::runtime_error("header longer than " + std::to_string(kMaxHeaderBytes) + " bytes");
            }
            line.push_back(c);
        }
        if (c != '\n') {
            throw std::runtime_error("no header line");
        }
        const json h = ek::parseBoundedJson(line, "header");
        if (!h.is_object()) {
            throw std::runtime_error("header is not an object");
        }
        Entry e;
        e.seq = seq;
        e.file = file;
        e.guid = textField(h, "guid");
        e.lane = textField(h, "lane");
        e.plate = textField(h, "plate");
        textField(h, "url");
        textField(h, "contentType");
        e.spooledAt = integerField(h, "spooledAt");
        const int64_t body = integerField(h, "bodyBytes");
        const auto size = fs::file_size(file);
        if (body < 0 || line.size() + 1 + static_cast<uint64_t>(body) != size) {
            throw std::runtime_error("file of " + std::to_string(size) + " bytes does not hold its body of " +
                                     std::to_string(body) + " bytes");
        }
        e.bytes = size;
        return e;
    } catch (const std::exception& ex) {
        problem = ex.what();
        return std::nullopt;
    }
}

std::vector<EventSpool::Drop> EventSpool::append(const SpooledRequest& request) {
    const std::string head = header(request, request.body.size());
    const uint64_t size = head.size() + request.body.size();
    std::vector<Drop> drops;
    std::lock_guard<std::mutex> guard(mutex_);
    const uint64_t seq = nextSeq_++;
    Entry entry{seq,
                size,
                request.spooledAt,
                request.guid,
                request.lane,
                request.plate,
                directory_ / fileName(seq, kSuffix)};
    if (size > maxBytes_) {
        drops.push_back({entry, "event of " + std::to_string(size) +
                                    " bytes is larger than the spool bound of " + std::to_string(maxBytes_) +
                                    " bytes"});
        return drops;
    }
    while (!entries_.empty() && bytes_ + size > maxBytes_) {
        drops.push_back({entries_.front(), "spool full (bound " + std::to_string(maxBytes_) + " bytes)"});
        forget(entries_.begin());
    }
    const fs::path temporary = directory_ / ("." + fileName(seq, kTemporarySuffix));
    {
        FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) {
            throw std::runtime_error("cannot spool event " + request.guid + ": " +
                                     systemError("cannot create", temporary));
        }
        try {
            writeAll(fd.get(), head, temporary);
            writeAll(fd.get(), request.body, temporary);
            if (::fsync(fd.get()) != 0) {
                throw std::runtime_error(systemError("cannot flush", temporary));
            }
            if (::close(fd.release()) != 0) {
                throw std::runtime_error(systemError("cannot close", temporary));
            }
            if (::rename(temporary.c_str(), entry.file.c_str()) != 0) {
                throw std::runtime_error(systemError("cannot rename", temporary));
            }
        } catch (const std::exception& e) {
            std::error_code ec;
            fs::remove(temporary, ec);
            throw std::runtime_error("cannot spool event " + request.guid + ": " + e.what());
        }
    }
    syncDirectory(directory_);
    bytes_ += size;
    entries_.push_back(std::move(entry));
    return drops;
}

std::optional<EventSpool::Entry> EventSpool::oldest() const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (entries_.empty()) {
        return std::nullopt;
    }
    return entries_.front();
}

SpooledRequest EventSpool::read(const Entry& entry) const {
    std::ifstream in(entry.file, std::ios::binary);
    if (!in) {
        throw std::runtime_error(systemError("cannot open", entry.file));
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto newline = content.find('\n');
    if (newline == std::string::npos || newline > kMaxHeaderBytes) {
        throw std::runtime_error(entry.file.string() + ": no header line");
    }
    const json h = ek::parseBoundedJson(std::string_view(content).substr(0, newline), entry.file.string());
    SpooledRequest r;
    try {
        r.url = textField(h, "url");
        r.contentType = textField(h, "contentType");
        r.guid = textField(h, "guid");
        r.lane = textField(h, "lane");
        r.plate = textField(h, "plate");
        r.spooledAt = integerField(h, "spooledAt");
        if (integerField(h, "bodyBytes") != static_cast<int64_t>(content.size() - newline - 1)) {
            throw std::runtime_error("body shorter or longer than its header says");
        }
    } catch (const std::exception& e) {
        throw std::runtime_error(entry.file.string() + ": " + e.what());
    }
    r.body = content.substr(newline + 1);
    return r;
}

void EventSpool::forget(std::deque<Entry>::iterator it) {
    std::error_code ec;
    fs::remove(it->file, ec);
    bytes_ -= it->bytes;
    entries_.erase(it);
}

bool EventSpool::remove(uint64_t seq) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [seq](const Entry& e) { return e.seq == seq; });
    if (it == entries_.end()) {
        return false;
    }
    forget(it);
    return true;
}

bool EventSpool::refuse(uint64_t seq) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [seq](const Entry& e) { return e.seq == seq; });
    if (it == entries_.end()) {
        return false;
    }
    std::error_code ec;
    fs::rename(it->file, refusedDirectory() / it->file.filename(), ec);
    if (ec) {
        // Kept out of the way of delivery even when it cannot be kept for a person to look at.
        fs::remove(it->file, ec);
    }
    bytes_ -= it->bytes;
    entries_.erase(it);
    return true;
}

std::vector<EventSpool::Drop> EventSpool::takeDropped() {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::exchange(startDrops_, {});
}

size_t EventSpool::count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
}

uint64_t EventSpool::bytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
}
