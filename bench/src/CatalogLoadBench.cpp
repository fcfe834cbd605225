// Loading a plate catalog of many entries (a licence-plate builder's constructor reads it) next to
// the JSON parse of the same file: the load must grow with the file as the parse does.
//
//   catalog_load_bench [rounds] [entries ...]
//
// Each catalog is {"timestamp": ..., "list": [{}, {}, ...]}: every entry is a syntax with empty
// fields, the most entries a file of a given size can hold. Default sizes 10000, 100000 and
// 1000000 entries, 3 rounds. Per size: the median (and range) of the JSON library's plain parse of
// the file (read included), of the whole catalog load (read, bounded parse, syntaxes), and their
// ratio.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/logger/log.h"
#include "qo_common/utils/BoundedFile.h"
#include "qo_common/utils/BoundedJson.h"
#include "src/event_builder/PlateCorrection.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The load logs at Info; below that level a service drops the lines after formatting them.
class DroppingLog {
  public:
    DroppingLog() : previous_(ILog::instance) { ILog::instance = std::make_shared<ILog>(); }
    ~DroppingLog() { ILog::instance = previous_; }

  private:
    std::shared_ptr<ILog> previous_;
};

std::string writeCatalog(const std::filesystem::path& dir, size_t entries) {
    const std::string path = (dir / ("catalog_" + std::to_string(entries) + ".json")).string();
    std::string text = R"({"timestamp": "bench", "list": [)";
    text.reserve(text.size() + entries * 3 + 2);
    for (size_t i = 0; i < entries; ++i) {
        text += i == 0 ? "{}" : ",{}";
    }
    text += "]}";
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

struct Spread {
    double median;
    double low;
    double high;
};

Spread spreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::vector<size_t> sizes;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(static_cast<size_t>(std::strtoull(argv[i], nullptr, 10)));
    }
    if (sizes.empty()) {
        sizes = {10000, 100000, 1000000};
    }
    DroppingLog quiet;
    TempDir dir;
    std::printf("%10s %10s %22s %22s %8s\n", "entries", "bytes", "parse ms (range)", "load ms (range)",
                "load/parse");
    for (const size_t entries : sizes) {
        const std::string path = writeCatalog(dir.path(), entries);
        std::vector<double> parse;
        std::vector<double> load;
        size_t loaded = 0;
        for (int round = 0; round < rounds; ++round) {
            auto start = Clock::now();
            const auto document =
                nlohmann::json::parse(ek::readBoundedFile(path, path, ek::JsonBounds{}.maxBytes));
            parse.push_back(msSince(start));
            start = Clock::now();
            const PlateCorrection catalog(path);
            load.push_back(msSince(start));
            loaded = catalog.syntaxArray().size();
        }
        if (loaded != entries) {
            std::fprintf(stderr, "catalog of %zu entries loaded %zu syntaxes\n", entries, loaded);
            return 1;
        }
        const Spread p = spreadOf(parse);
        const Spread l = spreadOf(load);
        std::printf("%10zu %10ju %9.1f (%5.1f-%5.1f) %9.1f (%5.1f-%5.1f) %8.1f\n", entries,
                    static_cast<uintmax_t>(std::filesystem::file_size(path)), p.median, p.low, p.high,
                    l.median, l.low, l.high, l.median / p.median);
    }
    return 0;
}
