#include "src/components/ComponentFactory.h"

#include <stdexcept>

#include "qo_common/utils/ConfigReader.h"
#include "src/components/PlateReaderComponent.h"
#include "src/components/StateDetectorYoloComponent.h"
#include "src/components/StateRecognizerComponent.h"
#include "src/components/YoloComponent.h"

namespace {

template <typename Kind>
std::shared_ptr<Component> make(const nlohmann::json& config) {
    return std::make_shared<Kind>(config);
}

}  // namespace

// One line per kind.
const std::vector<std::pair<std::string, ComponentFactory::Maker>>& ComponentFactory::kinds() {
    static const std::vector<std::pair<std::string, Maker>> table = {
        {"yolo", make<YoloComponent>},
        {"PlateReaderV3Colored", make<PlateReaderComponent>},
        {"StateRecognizer", make<StateRecognizerComponent>},
        {"StateDetectorYolo", make<StateDetectorYoloComponent>},
    };
    return table;
}

bool ComponentFactory::knows(const std::string& type) {
    for (const auto& kind : kinds()) {
        if (kind.first == type) {
            return true;
        }
    }
    return false;
}

std::string ComponentFactory::kindList() {
    std::string list;
    for (const auto& kind : kinds()) {
        list += (list.empty() ? "one of \"" : ", \"") + kind.first + "\"";
    }
    return list;
}

std::shared_ptr<Component> ComponentFactory::create(const std::string& type, nlohmann::json config) {
    for (const auto& [name, maker] : kinds()) {
        if (name != type) {
            continue;
        }
        auto component = maker(config);
        component->type = type;
        component->destinations = ek::ConfigReader(config).requiredTexts("destinations");
        return component;
    }
    throw std::runtime_error("unknown network type: " + type);
}
