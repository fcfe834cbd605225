#include "qo_common/event_poster/QEVATriggerEvent.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

QEVATriggerEvent fullTrigger() {
    QEVATriggerEvent t;
    t.laneId = 3;
    t.triggerId = 1234567890123;
    t.triggerGuid = "0b5c4c1e-8f5e-4c7a-9d0e-1f2a3b4c5d6e";
    t.laneName = "Lane \"north\"";
    t.vehicleGuid = "veh-1";
    t.triggerName = "loop \xD0\x90";  // UTF-8 kept as it is
    t.triggerTimestamp = 1714564800123;
    t.eventId = -5;
    t.eventData = "";
    t.triggerSource = "io";
    t.additional_data = {{"speed", "42"}, {"", ""}};
    return t;
}

TEST(QEVATriggerEventTest, ParseOfToStringGivesTheRecordBack) {
    QEVATriggerEvent minimal;
    minimal.laneId = 1;
    minimal.triggerId = 2;
    minimal.triggerTimestamp = 3;
    QEVATriggerEvent extremes = fullTrigger();
    extremes.triggerId = std::numeric_limits<int64_t>::max();
    extremes.laneId = std::numeric_limits<int64_t>::min();
    for (const auto& t : {fullTrigger(), minimal, extremes}) {
        EXPECT_EQ(QEVATriggerEvent::parse(t.toString()), t) << t.toString();
        EXPECT_EQ(QEVATriggerEvent::parse(t.toString(ek::Protocols::Version1_3)), t);
    }
}

TEST(QEVATriggerEventTest, TextFormUsesTheFieldNamesAndLeavesOutAbsentOptionals) {
    QEVATriggerEvent t = fullTrigger();
    auto doc = nlohmann::json::parse(t.toString());
    EXPECT_EQ(doc.at("laneId"), 3);
    EXPECT_EQ(doc.at("triggerId"), 1234567890123);
    EXPECT_EQ(doc.at("triggerTimestamp"), 1714564800123);
    EXPECT_EQ(doc.at("laneName"), "Lane \"north\"");
    EXPECT_EQ(doc.at("eventId"), -5);
    EXPECT_EQ(doc.at("additional_data").at(0), (nlohmann::json{{"name", "speed"}, {"value", "42"}}));
    EXPECT_FALSE(doc.contains("poison"));

    QEVATriggerEvent bare;
    auto bareDoc = nlohmann::json::parse(bare.toString());
    EXPECT_FALSE(bareDoc.contains("eventId"));
    EXPECT_FALSE(bareDoc.contains("eventData"));
    EXPECT_FALSE(bareDoc.contains("triggerSource"));
    EXPECT_EQ(bareDoc.at("additional_data"), nlohmann::json::array());
}

TEST(QEVATriggerEventTest, ParseTakesMissingOrNullTextsAsEmpty) {
    auto t = QEVATriggerEvent::parse(
        R"({"laneId": 1, "triggerId": 9, "triggerTimestamp": 100, "laneName": null, "eventId": null,
            "unknown": {"ignored": true}})");
    EXPECT_EQ(t.laneId, 1);
    EXPECT_EQ(t.triggerId, 9);
    EXPECT_EQ(t.triggerTimestamp, 100);
    EXPECT_EQ(t.laneName, "");
    EXPECT_EQ(t.triggerGuid, "");
    EXPECT_FALSE(t.eventId);
    EXPECT_FALSE(t.eventData);
    EXPECT_TRUE(t.additional_data.empty());
}

TEST(QEVATriggerEventTest, TextCannotMakeAPoisonTrigger) {
    auto t =
        QEVATriggerEvent::parse(R"({"laneId": 1, "triggerId": 9, "triggerTimestamp": 100, "poison": true})");
    EXPECT_FALSE(t.poison);
    QEVATriggerEvent poisoned = t;
    poisoned.poison = true;
    EXPECT_FALSE(QEVATriggerEvent::parse(poisoned.toString()).poison);
}

TEST(QEVATriggerEventTest, ParseNamesTheBadOrMissingKey) {
    struct Case {
        const char* body;
        const char* named;
    };
    const Case cases[] = {
        {R"({"triggerId": 2, "triggerTimestamp": 3})", "\"laneId\" is missing"},
        {R"({"laneId": 1, "triggerTimestamp": 3})", "\"triggerId\" is missing"},
        {R"({"laneId": 1, "triggerId": 2})", "\"triggerTimestamp\" is missing"},
        {R"({"laneId": null, "triggerId": 2, "triggerTimestamp": 3})", "\"laneId\" is missing"},
        {R"({"laneId": "1", "triggerId": 2, "triggerTimestamp": 3})", "\"laneId\" must be an integer"},
        {R"({"laneId": 1.5, "triggerId": 2, "triggerTimestamp": 3})", "\"laneId\" must be an integer"},
        {R"({"laneId": 1, "triggerId": 18446744073709551615, "triggerTimestamp": 3})",
         "\"triggerId\" is out of range"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": true})",
         "\"triggerTimestamp\" must be an integer"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "laneName": 5})",
         "\"laneName\" must be a string"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "eventId": "x"})",
         "\"eventId\" must be an integer"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "triggerSource": []})",
         "\"triggerSource\" must be a string"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "additional_data": {}})",
         "\"additional_data\" must be an array"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "additional_data": [7]})",
         "\"additional_data[0]\" must be an object"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "additional_data": [{"name": "a", "value": "b"}, {"name": "c"}]})",
         "\"additional_data[1].value\" is missing"},
        {R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "additional_data": [{"name": 1, "value": "b"}]})",
         "\"additional_data[0].name\" must be a string"},
        {R"([1, 2])", "must be a JSON object"},
        {R"({"laneId": 1,)", "not valid JSON"},
        {"", "not valid JSON"},
    };
    for (const auto& c : cases) {
        try {
            QEVATriggerEvent::parse(c.body);
            ADD_FAILURE() << "no error for " << c.body;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
    }
}

TEST(QEVATriggerEventTest, LongBadValueIsShortenedInTheMessage) {
    std::string body =
        R"({"laneId": ")" + std::string(10000, 'x') + R"(", "triggerId": 2, "triggerTimestamp": 3})";
    try {
        QEVATriggerEvent::parse(body);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_LT(std::string(e.what()).size(), 200u);
    }
}

TEST(QEVATriggerEventTest, DeeplyNestedBodiesAreRefusedWithAShortMessage) {
    const std::string deep = std::string(60000, '[') + std::string(60000, ']');
    const std::vector<std::string> bodies = {
        deep,
        R"({"laneId": )" + deep + R"(, "triggerId": 2, "triggerTimestamp": 3})",
        R"({"laneId": 1, "triggerId": 2, "triggerTimestamp": 3, "additional_data": [)" + deep + "]}",
        [] {
            std::string text;
            for (int i = 0; i < 60000; ++i) {
                text += R"({"a":)";
            }
            return text;
        }(),
    };
    for (const auto& body : bodies) {
        try {
            QEVATriggerEvent::parse(body);
            ADD_FAILURE() << "accepted " << body.substr(0, 40);
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "trigger: nested deeper than 64 levels");
        }
    }
    // Within the bound, a nested bad value is shown briefly.
    const std::string nested = std::string(40, '[') + std::string(40, ']');
    try {
        QEVATriggerEvent::parse(R"({"laneId": )" + nested + R"(, "triggerId": 2, "triggerTimestamp": 3})");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "trigger: key \"laneId\" must be an integer, got array [[[[...]]]]");
    }
}

TEST(QEVATriggerEventTest, ToStringNeverThrowsOnBadUtf8) {
    QEVATriggerEvent t = fullTrigger();
    t.laneName = "bad \xFF byte";
    std::string text;
    ASSERT_NO_THROW(text = t.toString());
    EXPECT_EQ(QEVATriggerEvent::parse(text).laneName, "bad \xEF\xBF\xBD byte");
}

}  // namespace
