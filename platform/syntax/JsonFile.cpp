#include "JsonFile.h"

#include <stdexcept>

#include "qo_common/utils/BoundedFile.h"
#include "qo_common/utils/BoundedJson.h"

namespace ek {

nlohmann::json readJsonFile(const std::string& path, const std::string& what) {
    const std::string source = what + ": " + path;
    // Bounded: a deeply nested file would overflow the stack when its values are copied.
    nlohmann::json document = parseBoundedJson(readBoundedFile(path, source, JsonBounds{}.maxBytes), source);
    if (!document.is_object()) {
        throw std::runtime_error(source + " does not hold a JSON object");
    }
    return document;
}

}  // namespace ek
