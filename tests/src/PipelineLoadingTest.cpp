#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "src/PipelineLoading.h"
#include "tests/support/CapturingLog.h"

namespace {

using nlohmann::json;

std::string loadingError(json config) {
    ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
    try {
        ek::loadPipeline(ctx, config);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(CheckUniqueNamesTest, RefusesNamesThatWouldShareAQueue) {
    struct Case {
        json config;
        std::string error;  // empty: accepted
    };
    const std::string kOwnEntry = ": each needs an entry of its own in the status document";
    const std::vector<Case> cases = {
        {json::object(), ""},
        {{{"eventbuilders", {{{"name", "eb"}}}},
          {"networks", {{{"name", "yolo"}}}},
          {"outputs", {{{"name", "out"}}}}},
         ""},
        {{{"eventbuilders", {{{"name", "x"}}, {{"name", "x"}}}}},
         "duplicate queue name \"x\" (eventbuilders and eventbuilders): each needs a queue of its own"},
        {{{"eventbuilders", {{{"name", "x"}}}}, {"outputs", {{{"name", "x"}}}}},
         "duplicate queue name \"x\" (eventbuilders and outputs): each needs a queue of its own"},
        {{{"networks", {{{"name", "yolo"}}}}, {"outputs", {{{"name", "yolo_infer"}}}}},
         "duplicate queue name \"yolo_infer\" (networks and outputs): each needs a queue of its own"},
        {{{"networks", {{{"name", "a"}}, {{"name", "a"}}}}},
         "duplicate queue name \"a\" (networks and networks): each needs a queue of its own"},
        {{{"eventposters", {{{"name", "p"}}, {{"name", "p"}, {"url", "http://x"}}}}},
         "duplicate event poster name \"p\" (eventposters and eventposters): each needs a queue of its own"},
        {{{"sources", {{{"name", "cam"}}, {{"name", "cam"}}}}},
         "duplicate source name \"cam\" (sources and sources): each needs a queue of its own"},
        // A poster may share a name with a source or a builder: their queues live in different maps,
        // and posters write no status entry.
        {{{"eventposters", {{{"name", "n"}}}}, {"sources", {{{"name", "n"}}}}}, ""},
        {{{"eventposters", {{{"name", "n"}}}}, {"eventbuilders", {{{"name", "n"}}}}}, ""},
        // Sources and builders write status entries under their names, beside "core" and "triggers".
        {{{"sources", {{{"name", "n"}}}}, {"eventbuilders", {{{"name", "n"}}}}},
         "duplicate status name \"n\" (sources and eventbuilders)" + kOwnEntry},
        {{{"sources", {{{"name", "core"}}}}},
         "duplicate status name \"core\" (the service state and sources)" + kOwnEntry},
        {{{"eventbuilders", {{{"name", "triggers"}}}}},
         "duplicate status name \"triggers\" (the trigger statistics and eventbuilders)" + kOwnEntry},
        // Elements without a non-empty text name are the loaders' to refuse.
        {{{"networks", {{{"type", "yolo"}}, {{"type", "yolo"}}, {{"name", 1}}, {{"name", 1}}, 7}}}, ""},
        {{{"sources", {{{"name", ""}}, {{"name", ""}}}}}, ""},
        // An object's values count as its elements.
        {{{"outputs", {{"o1", {{"name", "o"}}}, {"o2", {{"name", "o"}}}}}},
         "duplicate queue name \"o\" (outputs and outputs): each needs a queue of its own"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config.dump());
        if (c.error.empty()) {
            EXPECT_NO_THROW(ek::checkUniqueNames(c.config));
            continue;
        }
        try {
            ek::checkUniqueNames(c.config);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }
}

TEST(LoadPipelineTest, EmptyOrAbsentArraysLoadNothing) {
    auto capture = CapturingLog::install();
    EXPECT_EQ(loadingError(json::object()), "");
    EXPECT_EQ(loadingError({{"sources", json::array()}, {"outputs", json::array()}, {"networks", nullptr}}),
              "");
}

TEST(LoadPipelineTest, TheStateRecognizerIsFoldedBeforeTheNetworksAreLoaded) {
    auto capture = CapturingLog::install();
    // Once folded away, the only network left is the recognizer's: an empty array remains.
    EXPECT_EQ(loadingError({{"networks", {{{"name", "state_recognizer"}}}}}), "");
}

TEST(LoadPipelineTest, DuplicateNamesFailBeforeAnyLoader) {
    auto capture = CapturingLog::install();
    EXPECT_EQ(
        loadingError({{"eventposters", {{{"name", "p"}}, {{"name", "p"}}}}}),
        "duplicate event poster name \"p\" (eventposters and eventposters): each needs a queue of its own");
}

TEST(LoadPipelineTest, AbsentArraysBecomeNullInMainsCopy) {
    auto capture = CapturingLog::install();
    ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
    json config = json::object();
    ek::loadPipeline(ctx, config);
    for (const char* array : {"eventposters", "eventbuilders", "networks", "sources", "outputs"}) {
        ASSERT_TRUE(config.contains(array)) << array;
        EXPECT_TRUE(config[array].is_null()) << array;
    }
    EXPECT_FALSE(ctx.config.contains("sources"));  // the context keeps the document as read
}

TEST(LoadPipelineTest, ArraysThatAreNotArraysFailNamingTheArray) {
    auto capture = CapturingLog::install();
    for (const char* array : {"eventposters", "eventbuilders", "networks", "sources", "outputs"}) {
        EXPECT_EQ(loadingError({{array, {{"a", {{"name", "x"}}}}}}),
                  std::string(array) + R"(: expected an array, got object {"a":{"name":"x"}})");
        EXPECT_EQ(loadingError({{array, 5}}), std::string(array) + ": expected an array, got number 5");
        EXPECT_EQ(loadingError({{array, json::object()}}),
                  std::string(array) + ": expected an array, got object {}");
    }
}

TEST(LoadPipelineTest, EmptyNamesAreRefusedByTheirLoaderWithThePath) {
    auto capture = CapturingLog::install();
    EXPECT_EQ(loadingError({{"sources", {{{"name", ""}}, {{"name", ""}}}}}),
              R"(sources[0].name: expected a non-empty string, got string "")");
    EXPECT_EQ(loadingError({{"outputs", {{{"name", "o"}, {"type", "t"}}, {{"name", ""}, {"type", "t"}}}}}),
              R"(outputs[1].name: expected a non-empty string, got string "")");
}

TEST(LoadPipelineTest, DestinationsWithoutAQueueAreOneWarningEach) {
    auto capture = CapturingLog::install();
    ek::PipelineContext ctx(json{{"webserver", {{"port", 0}}}});
    ctx.addFrameQueue("yolo", 3);
    const json config = {{"sources", {{{"destinations", {"yolo", "nowhere"}}}}},
                         {"networks", {{{"destinations", {"gone"}}}, {{"name", "n"}}}}};
    ek::warnAboutDestinationsWithoutQueue(ctx, config);
    EXPECT_EQ(capture.log->count("no queue named", ILog::LevelWarning), 2u);
    EXPECT_TRUE(capture.log->contains(
        R"(sources[0].destinations[1]: no queue named "nowhere"; frames sent there are skipped)",
        ILog::LevelWarning));
    EXPECT_TRUE(
        capture.log->contains(R"(networks[0].destinations[0]: no queue named "gone")", ILog::LevelWarning));
}

}  // namespace
