#include "tools/event_sink/EventSink.h"

#include <chrono>
#include <map>
#include <stdexcept>

using nlohmann::json;

EventSink::EventSink(Options options)
    : options_(std::move(options)), store_(options_.folder, options_.summaryOut, options_.clipPrefix) {
    server_.set_payload_max_length(options_.maxBodyBytes);
    // An idle kept-alive connection holds a server thread, and so the stop, for this long.
    server_.set_keep_alive_timeout(1);
    // Without it an answer written in two parts waits for the client's delayed ACK (tens of ms).
    server_.set_tcp_nodelay(true);
    server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
    port_ = options_.port == 0 ? server_.bind_to_any_port(options_.host)
                               : (server_.bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port_ <= 0) {
        throw std::runtime_error("event_sink: cannot listen on " + options_.host + ":" +
                                 std::to_string(options_.port));
    }
}

EventSink::~EventSink() {
    stop();
}

void EventSink::start() {
    if (thread_.joinable()) {
        return;
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is ignored by the HTTP library until its loop runs, so wait for that moment here.
    while (!server_.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void EventSink::stop() {
    {
        std::lock_guard<std::mutex> guard(holdMutex_);
        stopping_ = true;
    }
    released_.notify_all();
    if (thread_.joinable()) {
        server_.stop();
        thread_.join();
    }
}

void EventSink::answer(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

void EventSink::handle(const httplib::Request& request, httplib::Response& response) {
    const size_t number = ++received_;
    if (options_.hold) {
        std::unique_lock<std::mutex> lock(holdMutex_);
        released_.wait(lock, [this] { return stopping_; });
        return;
    }
    if (options_.fail || number <= options_.failFirst) {
        ++refused_;
        answer(response, 500, {{"error", "event_sink runs in failure mode"}});
        return;
    }
    const std::string type = request.get_header_value("Content-Type");
    const bool multipart = request.is_multipart_form_data();
    if (!multipart && type.rfind("application/json", 0) != 0) {
        ++refused_;
        answer(response, 415,
               {{"error",
                 "Content-Type must be application/json or multipart/form-data, not \"" + type + "\""}});
        return;
    }
    try {
        std::string text = request.body;
        std::map<std::string, std::string> parts;
        if (multipart) {
            if (!request.has_file("event")) {
                throw ValidationError("the multipart request has no part named \"event\"");
            }
            text = request.get_file_value("event").content;
            for (const auto& [name, part] : request.files) {
                if (name == "event") {
                    continue;
                }
                if (part.content_type != "image/jpeg") {
                    throw ValidationError("part " + name + ": Content-Type must be image/jpeg, not \"" +
                                          part.content_type + "\"");
                }
                if (!parts.emplace(name, part.content).second) {
                    throw ValidationError("part " + name + " appears twice");
                }
            }
        }
        json event;
        try {
            event = json::parse(text);
        } catch (const json::parse_error& e) {
            throw ValidationError(std::string("the event document is not JSON: ") + e.what());
        }
        auto images = validator_.validate(event, multipart ? &parts : nullptr);
        std::string guid = event.at("guid").get<std::string>();
        store_.store(std::move(event), images, multipart);
        ++stored_;
        answer(response, 200, {{"result", "stored"}, {"guid", guid}});
    } catch (const ValidationError& e) {
        ++refused_;
        if (options_.summaryOut != nullptr) {
            std::fprintf(options_.summaryOut, "refused: %s\n", e.what());
            std::fflush(options_.summaryOut);
        }
        answer(response, 400, {{"error", e.what()}});
    }
}
