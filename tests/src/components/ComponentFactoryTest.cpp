#include "qo_common/utils/ConfigReader.h"
#include "src/components/ComponentFactory.h"

#include <gtest/gtest.h>

#include "tests/src/components/NetworkConfigs.h"

namespace {

using namespace test_networks;
using nlohmann::json;

TEST(ComponentFactoryTest, UnknownTypesAreRefusedByExactName) {
    for (const std::string type : {"Yolo", "YOLO", "", "stateRecognizer", "statedetectoryolo", "yolo "}) {
        try {
            ComponentFactory::create(type, yoloNetwork());
            FAIL() << "made a component of type '" << type << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "unknown network type: " + type);
        }
    }
}

TEST(ComponentFactoryTest, SetsTypeAndDestinations) {
    json network = yoloNetwork();
    network["destinations"] = {"plates", "display"};
    auto component = ComponentFactory::create("yolo", network);
    EXPECT_EQ(component->type, "yolo");
    EXPECT_EQ(component->destinations, (std::vector<std::string>{"plates", "display"}));
}

TEST(ComponentFactoryTest, DestinationsMustBeAListOfTexts) {
    json network = yoloNetwork();
    network["destinations"] = "plates";
    EXPECT_THROW(ComponentFactory::create("yolo", network), ek::ConfigError);
    network["destinations"] = {1, 2};
    try {
        ComponentFactory::create("yolo", network);
        ADD_FAILURE() << "accepted";
    } catch (const ek::ConfigError& e) {
        EXPECT_STREQ(e.what(), "destinations[0]: expected a string, got number 1");
    }
}

TEST(ComponentFactoryTest, EveryKindIsListedOnce) {
    std::vector<std::string> names;
    for (const auto& [name, maker] : ComponentFactory::kinds()) {
        EXPECT_TRUE(maker) << name;
        EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
        names.push_back(name);
    }
    for (const char* kind : {"yolo", "StateRecognizer", "StateDetectorYolo"}) {
        EXPECT_EQ(std::count(names.begin(), names.end(), kind), 1) << kind;
    }
}

}  // namespace
