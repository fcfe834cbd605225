#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "src/Component.h"

// Makes the network component of a "networks" entry by its "type".
struct ComponentFactory {
    using Maker = std::function<std::shared_ptr<Component>(const nlohmann::json& config)>;

    // Builds the component of `type` (exact, case-sensitive), sets its type and its
    // "destinations" (an array of texts). Throws std::runtime_error "unknown network type: <type>"
    // for a type it does not make, ek::ConfigError naming the key (relative to `config`) for a bad
    // key, and whatever else the component's constructor throws.
    static std::shared_ptr<Component> create(const std::string& type, nlohmann::json config);

    static bool knows(const std::string& type);
    // "one of \"yolo\", ...": the types it makes, for error messages.
    static std::string kindList();

    // The kinds in the order they are compared.
    static const std::vector<std::pair<std::string, Maker>>& kinds();
};
