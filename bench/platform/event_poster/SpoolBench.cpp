// What the spool costs, in one run:
//  1. spooling one event with pictures (encode, write whole, flush, rename) against encoding it alone;
//  2. delivering a backlog of spooled events to the local event sink against posting the same
//     requests directly, in events per second.
//
//   event_poster_spool_bench [events]   (default 1000 for the backlog)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>

#include "platform/event_poster/EventSpool.h"
#include "platform/event_poster/QEVAEventEncoder.h"
#include "platform/event_poster/QEVAHttpClient.h"
#include "qo_common/event_poster/QEVAEventPoster.h"
#include "tools/event_sink/EventSink.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// An event like the demo's: one reading with its crop and two frames of the given size.
QEVAEvent makeEvent(int width, int height, int serial) {
    cv::Mat frame(height, width, CV_8UC3);
    cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::GaussianBlur(frame, frame, cv::Size(0, 0), 3);  // camera-like, not pure noise
    QEVAEvent event;
    event.guid = "bench-" + std::to_string(serial);
    event.laneName = "lane1";
    event.laneId = 1;
    event.ts = 1;
    for (int i = 0; i < 2; ++i) {
        auto f = std::make_shared<ek::pipeline::Frame>();
        f->image = frame.clone();
        f->guid = "frame-" + std::to_string(i);
        event.frames.push_back(f);
    }
    auto plate = std::make_shared<PlateDetectionEvent>();
    plate->num = "AB123CD";
    plate->confidence = 0.9f;
    plate->frame = event.frames[0];
    plate->frameGuid = "frame-0";
    plate->plate = frame(cv::Rect(0, 0, 120, 30)).clone();
    event.evts.push_back(plate);
    return event;
}

}  // namespace

int main(int argc, char** argv) {
    const int backlog = argc > 1 ? std::atoi(argv[1]) : 1000;
    QEVAEventPoster::globalInit();
    const fs::path work = fs::temp_directory_path() / ("qo_spool_bench_" + std::to_string(::getpid()));
    fs::create_directories(work);

    // 1. Spooling against encoding, 1280x720 pictures. Delivery goes to a closed port and backs off.
    {
        const QEVAEvent event = makeEvent(1280, 720, 0);
        QEVAEventPoster poster(
            {{"name", "bench"}, {"url", "http://127.0.0.1:9/"}, {"spoolPath", (work / "encode").string()}},
            {60000, 60000});
        const int rounds = 40;
        auto t0 = Clock::now();
        size_t bytes = 0;
        for (int i = 0; i < rounds; ++i) {
            EncodedEvent e = QEVAEventEncoder(poster).encode(event);
            bytes += e.document.dump(-1, ' ', false, json::error_handler_t::replace).size();
        }
        const double encode = secondsSince(t0) / rounds;
        t0 = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            poster.post(event);
        }
        const double spool = secondsSince(t0) / rounds;
        poster.stop();
        std::printf("spool one event (%zu KiB): %.2f ms, encode alone: %.2f ms, ratio %.2f\n",
                    bytes / rounds / 1024, spool * 1000, encode * 1000, spool / encode);
    }

    // 2. A backlog to the local sink, through the spool and directly.
    {
        std::vector<SpooledRequest> requests;
        {
            QEVAEventPoster encoder(
                {{"name", "enc"}, {"url", "http://127.0.0.1:9/"}, {"spoolPath", (work / "unused").string()}},
                {60000, 60000});
            encoder.stop();
            for (int i = 0; i < backlog; ++i) {
                EncodedEvent e = QEVAEventEncoder(encoder).encode(makeEvent(320, 180, i));
                SpooledRequest r;
                r.contentType = "application/json";
                r.body = e.document.dump();
                r.guid = "bench-" + std::to_string(i);
                r.lane = "lane1";
                r.plate = "AB123CD";
                requests.push_back(std::move(r));
            }
        }
        auto run = [&](const std::string& name, bool spooled) {
            EventSink::Options options;
            options.port = 0;
            options.folder = work / ("sink-" + name);
            options.summaryOut = nullptr;
            EventSink sink(options);
            sink.start();
            const auto t0 = Clock::now();
            if (spooled) {
                {
                    EventSpool spool(work / "backlog", 1ull << 40);
                    for (auto r : requests) {
                        r.url = sink.url();
                        spool.append(r);
                    }
                }
                const double fill = secondsSince(t0);
                const auto t1 = Clock::now();
                QEVAEventPoster poster(
                    {{"name", "backlog"}, {"url", sink.url()}, {"spoolPath", (work / "backlog").string()}});
                while (sink.stored() < requests.size()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                const double deliver = secondsSince(t1);
                std::printf(
                    "backlog of %zu through the spool: written in %.2f s, delivered at %.0f events/s\n",
                    requests.size(), fill, requests.size() / deliver);
                return requests.size() / deliver;
            }
            QEVAHttpClient client(2000, 10000);
            for (auto r : requests) {
                r.url = sink.url();
                client.send(r);
            }
            const double direct = secondsSince(t0);
            std::printf("the same %zu posted directly: %.0f events/s\n", requests.size(),
                        requests.size() / direct);
            return requests.size() / direct;
        };
        const double direct = run("direct", false);
        const double spooled = run("spooled", true);
        std::printf("spooled delivery / direct posting: %.2f\n", spooled / direct);
    }
    fs::remove_all(work);
    return 0;
}
