#include "JsonFile.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "qo_common/utils/BoundedJson.h"

namespace ek {

nlohmann::json readJsonFile(const std::string& path, const std::string& what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(what + ": cannot open " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw std::runtime_error(what + ": cannot read " + path);
    }
    // Bounded: a deeply nested file would overflow the stack when its values are copied.
    nlohmann::json document = parseBoundedJson(text.str(), what + ": " + path);
    if (!document.is_object()) {
        throw std::runtime_error(what + ": " + path + " does not hold a JSON object");
    }
    return document;
}

}  // namespace ek
