#pragma once

#include <nlohmann/json.hpp>

#include <string>

class Config {
  public:
    // The parsed JSON document of a file. Throws std::runtime_error naming the path when the file
    // cannot be read, and nlohmann::json::parse_error when it is not JSON.
    static nlohmann::json read(const std::string& path);
};
