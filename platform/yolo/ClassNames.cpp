#include "platform/yolo/ClassNames.h"

#include <fstream>
#include <stdexcept>

std::vector<std::string> ClassNames::read(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open class names file " + path);
    }
    std::vector<std::string> names;
    std::string line;
    while (std::getline(in, line)) {
        auto b = line.find_first_not_of(" \t\r");
        auto e = line.find_last_not_of(" \t\r");
        names.push_back(b == std::string::npos ? std::string() : line.substr(b, e - b + 1));
    }
    while (!names.empty() && names.back().empty()) {
        names.pop_back();
    }
    if (names.empty()) {
        throw std::runtime_error("class names file " + path + " holds no name");
    }
    return names;
}
