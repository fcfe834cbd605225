#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace ek {

// The JSON document of a file; std::runtime_error naming `what` and the path when it cannot be
// read or parsed, or is not an object.
nlohmann::json readJsonFile(const std::string& path, const std::string& what);

}  // namespace ek
