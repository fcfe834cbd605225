#include "JsonFile.h"

#include <fstream>
#include <stdexcept>

namespace ek {

nlohmann::json readJsonFile(const std::string& path, const std::string& what) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error(what + ": cannot open " + path);
    }
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(what + ": " + path + " is not valid JSON: " + e.what());
    }
    if (!document.is_object()) {
        throw std::runtime_error(what + ": " + path + " does not hold a JSON object");
    }
    return document;
}

}  // namespace ek
