#pragma once

#include <nlohmann/json.hpp>

#include <string>

class Config {
  public:
    // The parsed JSON document of a file, bounded as every untrusted document (ek::parseBoundedJson:
    // 64 levels, 16 MiB). Throws std::runtime_error naming the path when the file cannot be read,
    // is not JSON, or is nested too deep or too large.
    static nlohmann::json read(const std::string& path);
};
