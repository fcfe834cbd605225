#include "qo_common/utils/Config.h"

#include "qo_common/utils/BoundedFile.h"
#include "qo_common/utils/BoundedJson.h"

#include <stdexcept>

nlohmann::json Config::read(const std::string& path) {
    const std::string what = "configuration file '" + path + "'";
    return ek::parseBoundedJson(ek::readBoundedFile(path, what, ek::JsonBounds{}.maxBytes), what);
}
