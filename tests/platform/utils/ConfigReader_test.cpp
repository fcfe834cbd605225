#include "qo_common/utils/ConfigReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qo_common/utils/BoundedJson.h"
#include "qo_common/utils/JsonBrief.h"

namespace {

using ek::ConfigError;
using ek::ConfigReader;
using nlohmann::json;

std::string errorOf(const std::function<void()>& read) {
    try {
        read();
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "";
}

TEST(ConfigReaderTest, EveryRefusalNamesThePathTheExpectationAndTheValue) {
    const json entry = json::parse(R"({
        "id": "1", "big": 4294967299, "huge": 1e300, "half": 8080.5, "neg": -1, "max": 18446744073709551615,
        "flag": 2, "text": 5, "empty": "", "list": ["a", 5], "obj": [1], "mode": "fast", "nums": [1, "x"],
        "none": {}, "zero": 0, "five": 5
    })");
    const ConfigReader reader(entry, "sources[0]");
    struct Case {
        std::function<void()> read;
        std::string error;
    };
    const std::vector<Case> cases = {
        {[&] { reader.integer<int>("id", 0); },
         R"(sources[0].id: expected an integer from -2147483648 to 2147483647, got string "1")"},
        {[&] { reader.integer<int64_t>("id", 0); }, R"(sources[0].id: expected an integer, got string "1")"},
        {[&] { reader.integer<int>("big", 3, 1, 100); },
         "sources[0].big: expected an integer from 1 to 100, got number 4294967299"},
        {[&] { reader.integer<int64_t>("huge", 0); },
         "sources[0].huge: expected an integer, got number 1e+300"},
        {[&] { reader.integer<int>("zero", 3, 1, 100); },
         "sources[0].zero: expected an integer from 1 to 100, got number 0"},
        {[&] { reader.integer<int64_t>("five", 9, 6); },
         "sources[0].five: expected an integer of at least 6, got number 5"},
        {[&] { reader.integer<int>("five", -2, -10, -1); },
         "sources[0].five: expected an integer from -10 to -1, got number 5"},
        {[&] { reader.integer<int>("half", 0, 0, 65535); },
         "sources[0].half: expected an integer from 0 to 65535, got number 8080.5"},
        {[&] { reader.integer<int>("neg", 0, 0); },
         "sources[0].neg: expected an integer from 0 to 2147483647, got number -1"},
        {[&] { reader.integer<int64_t>("neg", 0, 0); },
         "sources[0].neg: expected an integer of at least 0, got number -1"},
        {[&] { reader.integer<int64_t>("max", 0); },
         "sources[0].max: expected an integer, got number 18446744073709551615"},
        {[&] { reader.number<float>("huge", 0.f); }, "sources[0].huge: expected a number, got number 1e+300"},
        {[&] { reader.number<double>("neg", 0., 0., 1.); },
         "sources[0].neg: expected a number from 0.0 to 1.0, got number -1"},
        {[&] { reader.number<double>("id", 0.); }, R"(sources[0].id: expected a number, got string "1")"},
        {[&] { reader.boolean("neg", false); }, "sources[0].neg: expected true or false, got number -1"},
        {[&] { reader.flag("flag", false); }, "sources[0].flag: expected true, false, 0 or 1, got number 2"},
        {[&] { reader.text("text", ""); }, "sources[0].text: expected a string, got number 5"},
        {[&] { reader.text("empty", "x", ConfigReader::NonEmpty); },
         R"(sources[0].empty: expected a non-empty string, got string "")"},
        {[&] { reader.requiredText("name"); }, "sources[0].name: missing, expected a string"},
        {[&] { reader.requiredInteger<int>("absent"); }, "sources[0].absent: missing, expected an integer"},
        {[&] { reader.texts("list"); }, "sources[0].list[1]: expected a string, got number 5"},
        {[&] { reader.texts("text"); }, "sources[0].text: expected an array of strings, got number 5"},
        {[&] { reader.numbers("nums"); }, R"(sources[0].nums[1]: expected a number, got string "x")"},
        {[&] { reader.object("obj"); }, "sources[0].obj: expected an object, got array [1]"},
        {[&] { reader.object("absent"); }, "sources[0].absent: missing, expected an object"},
        {[&] { reader.elements("text"); }, "sources[0].text: expected an array, got number 5"},
        {[&] {
             reader.choice("mode", "beam", {"beam", "greedy"});
         },
         R"(sources[0].mode: expected one of "beam", "greedy", got string "fast")"},
        {[&] { ConfigReader(json::array(), "sources[1]").integer<int>("id", 0); },
         "sources[1]: expected an object, got array []"},
        {[&] {
             ConfigReader::elementsOf(json{{"a", 1}}, "networks");
         },
         R"(networks: expected an array, got object {"a":1})"},
        {[&] { ConfigReader::elementsOf(json::object(), "networks"); },
         "networks: expected an array, got object {}"},
        {[&] { reader.elements("none"); }, "sources[0].none: expected an array, got object {}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorOf(c.read), c.error);
    }
}

TEST(ConfigReaderTest, AbsentAndNullGiveTheFallbackAndGoodValuesPassUnchanged) {
    const json entry = json::parse(R"({"port": 65535, "n": null, "rate": 0.5, "on": 1, "off": false,
                                      "dests": ["a", "b"], "name": "cam", "big": 9223372036854775807})");
    const ConfigReader reader(entry);
    EXPECT_EQ(reader.integer<int>("port", 0, 0, 65535), 65535);
    EXPECT_EQ(reader.integer<int>("n", 7), 7);
    EXPECT_EQ(reader.integer<int>("absent", -3), -3);
    EXPECT_EQ(reader.integer<int64_t>("big", 0), INT64_MAX);
    EXPECT_EQ(reader.integer<uint64_t>("big", 0), static_cast<uint64_t>(INT64_MAX));
    EXPECT_FLOAT_EQ(reader.number<float>("rate", 0.f, 0.f, 1.f), 0.5f);
    EXPECT_FLOAT_EQ(reader.number<float>("port", 0.f), 65535.f);  // an integer is a number
    EXPECT_TRUE(reader.flag("on", false));
    EXPECT_FALSE(reader.boolean("off", true));
    EXPECT_EQ(reader.texts("dests"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(reader.texts("n").empty());
    EXPECT_EQ(reader.requiredText("name", ConfigReader::NonEmpty), "cam");
    EXPECT_FALSE(reader.has("n"));
    EXPECT_FALSE(reader.optionalObject("absent").has_value());
    EXPECT_EQ(reader.pathOf("port"), "port");
}

TEST(ConfigReaderTest, ArraysAcceptNullAndNameEachElement) {
    EXPECT_TRUE(ConfigReader::elementsOf(nullptr, "sources").empty());
    EXPECT_TRUE(ConfigReader::elementsOf(json::array(), "sources").empty());
    const json sources = json::parse(R"([{"id": 1}, {"id": "2"}])");
    const auto elements = ConfigReader::elementsOf(sources, "sources");
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[1].path(), "sources[1]");
    EXPECT_EQ(elements[0].pathOf("id"), "sources[0].id");
    EXPECT_THROW(elements[1].integer<int64_t>("id", 0), ConfigError);
}

TEST(ConfigReaderTest, NestedErrorsCarryTheirPathAndCanBePlacedUnderAnEnclosingOne) {
    const json network = json::parse(R"({"model": {"definition": {"cfg": 5}}})");
    const std::string error = errorOf([&] {
        try {
            ConfigReader(network).object("model").object("definition").text("cfg", "");
        } catch (const ConfigError& e) {
            throw e.under("networks[2]");
        }
    });
    EXPECT_EQ(error, "networks[2].model.definition.cfg: expected a string, got number 5");
    EXPECT_EQ(ConfigError("[0].id", "bad").under("sources").what(), std::string("sources[0].id: bad"));
}

TEST(JsonBriefTest, ShowsTypeAndAShortDepthSafeRendering) {
    EXPECT_EQ(ek::briefJson(json("1")), R"(string "1")");
    EXPECT_EQ(ek::briefJson(json(nullptr)), "null");
    EXPECT_EQ(ek::briefJson(json(true)), "boolean true");
    EXPECT_EQ(ek::briefJson(json::parse(R"({"a": [1, {"b": {"c": 1}}]})")),
              R"(object {"a":[1,{"b":{...}}]})");
    const std::string longText(10000, 'x');
    const std::string brief = ek::briefJson(json(longText));
    EXPECT_LT(brief.size(), 80u);
    EXPECT_EQ(brief.substr(brief.size() - 3), "...");
    // Invalid UTF-8 is shown replaced, never thrown.
    EXPECT_NO_THROW(ek::briefJson(json(std::string("\xff\xfe"))));
}

TEST(JsonBriefTest, DescribesAValueNestedFarBeyondTheStack) {
    // Built by the bounded parser's own iterative parse, with the bound lifted.
    const int levels = 100000;
    const std::string text = std::string(levels, '[') + std::string(levels, ']');
    ek::JsonBounds unbounded;
    unbounded.maxDepth = levels + 1;
    json deep = ek::parseBoundedJson(text, "test", unbounded);
    EXPECT_EQ(ek::briefJson(deep), "array [[[[...]]]]");
    // The JSON library destroys iteratively; nothing else may touch `deep`.
}

}  // namespace
