#pragma once

#include <nlohmann/json.hpp>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

// The demo's files in the source tree, read as the checks need them.
namespace demo_files {

inline std::string sourcePath(const std::string& relative) {
    return std::string(QO_SOURCE_DIR) + "/" + relative;
}

inline std::ifstream open(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return in;
}

inline nlohmann::json readJson(const std::string& path) {
    auto in = open(path);
    return nlohmann::json::parse(in);
}

// One JSON document per non-empty line.
inline std::vector<nlohmann::json> readJsonLines(const std::string& path) {
    auto in = open(path);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(nlohmann::json::parse(line));
        }
    }
    return lines;
}

inline nlohmann::json demoConfig() {
    return readJson(sourcePath("demo/config.json"));
}

}  // namespace demo_files
