#include "src/event_builder/PlateCorrection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kExampleCatalog = std::string(QO_SOURCE_DIR) + "/syntaxes/plate_catalog.json";

std::string writeFile(const TempDir& dir, const std::string& name, const std::string& text) {
    const auto path = dir.file(name);
    std::ofstream(path) << text;
    return path;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string loadError(const std::string& path) {
    try {
        PlateCorrection correction(path);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(PlateCorrectionVariants, SwapEachPositionUnchangedFirst) {
    struct Case {
        std::string text;
        size_t start;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"0O", 0, {"0O", "00", "OO", "O0"}},
        {"0O", 1, {"0O", "00"}},
        {"A0B", 0, {"A0B", "AOB"}},
        {"ABC", 0, {"ABC"}},
        {"", 0, {""}},
        {"1O2O", 0, {"1O2O", "1O20", "102O", "1020"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> out;
        PlateCorrection::generateVariants(c.text, '0', 'O', c.start, out);
        EXPECT_EQ(out, c.expected) << c.text << " from " << c.start;
    }
}

TEST(PlateCorrectionVariants, KPositionsGiveAllTwoToTheKTexts) {
    std::vector<std::string> out;
    PlateCorrection::generateVariants("0X0O0", '0', 'O', 0, out);
    EXPECT_EQ(out.size(), 16u);
    EXPECT_EQ(std::set<std::string>(out.begin(), out.end()).size(), 16u);
}

TEST(PlateCorrectionRules, BuiltInRulesInTableOrder) {
    PlateCorrection correction;
    const auto& rules = correction.specialRulesArray();
    ASSERT_EQ(rules.size(), 10u);
    EXPECT_EQ(rules[0].syntax_regex, "([A-Za-z])0([A-Za-z])");
    EXPECT_EQ(rules[0].regex_replace, "$1O$2");
    EXPECT_EQ(rules[9].plate_state, "US-PR");
    EXPECT_EQ(rules[9].regex_replace, "$1OOO");
    for (const auto& rule : rules) {
        EXPECT_EQ(rule.charZero, '0');
        EXPECT_EQ(rule.charO, 'O');
    }
    EXPECT_EQ(correction.specialRulesByState().at("US-CA"), (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(correction.specialRulesByState().at("US-PR"), (std::vector<size_t>{9}));
    EXPECT_TRUE(correction.syntaxArray().empty());
}

// A catalog whose syntaxes serve the cases below: "ONE" accepts one digit, three capitals and three
// digits; "TWO" has two syntaxes that each accept a different variant of 0O.
class PlateCorrectionCatalog : public ::testing::Test {
  protected:
    PlateCorrectionCatalog()
        : correction(writeFile(dir, "catalog.json", R"({"list": [
              {"plate_state": "ONE", "syntax_regex": "[0-9][A-Z]{3}[0-9]{3}", "region": "r", "plate_type": "t"},
              {"plate_state": "TWO", "syntax_regex": "[0-9]{2}"},
              {"plate_state": "TWO", "syntax_regex": "[A-Z]{2}"},
              {"plate_state": "US-CA", "syntax_regex": "[1-9][A-Z]{3}[0-9]{3}"},
              7
          ]})")) {}

    TempDir dir;
    PlateCorrection correction;
};

TEST_F(PlateCorrectionCatalog, CorrectsAgainstSyntaxesThenSpecialRules) {
    struct Case {
        std::string state;
        std::string text;
        std::string expected;
        std::string regex;  // the stored regex_str
        bool specialRulesRun;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"ONE", "1ABC0O0", "1ABC000", "[0-9][A-Z]{3}[0-9]{3}", false, "one variant of eight matches once"},
        {"ONE", "1ABC000", "1ABC000", "[0-9][A-Z]{3}[0-9]{3}", false, "the text itself is listed twice"},
        {"ONE", "1ABCDEF", "1ABCDEF", "", false, "no match, and no rules for the state"},
        {"TWO", "0O", "0O", "[A-Z]{2}", false, "two syntaxes accept different variants: ambiguous"},
        {"US-CA", "A0B0C", "AOBOC", "", true, "rule 1 to its fixed point"},
        {"US-CA", "000ABC", "OOOABC", "", true, "rule 8"},
        {"US-CA", "1AB0", "1ABO", "", true, "rule 3"},
        {"US-CA", "7OBC0O1", "7OBC001", "[1-9][A-Z]{3}[0-9]{3}", false, "a catalog match keeps rules away"},
        {"US-PR", "ABC000", "ABCOOO", "", true, "rule 10"},
        {"US-PR", "000ABC", "000ABC", "", true, "only rule 10 exists for US-PR"},
        {"XX", "A0B", "A0B", "", false, "a state with neither syntaxes nor rules"},
        {"", "", "", "", false, "the element that was no object serves the empty state"},
        {"", "ABC", "ABC", "", false, "and only the empty text matches it"},
    };
    for (const auto& c : cases) {
        auto capture = CapturingLog::install();
        PlateCorrection::CorrectionCache cache;
        EXPECT_EQ(correction.Correct0O(c.text, c.state, &cache), c.expected) << c.why;
        const auto& entry = cache.at(PlateCorrection::cacheKey(c.state, c.text));
        EXPECT_EQ(entry.state, c.state) << c.why;
        EXPECT_EQ(entry.new_number, c.expected) << c.why;
        EXPECT_EQ(entry.regex_str, c.regex) << c.why;
        EXPECT_EQ(capture.log->contains("special Rules correction  <- "), c.specialRulesRun) << c.why;
    }
}

TEST_F(PlateCorrectionCatalog, CountsOneTestPerVariantAndSyntax) {
    struct Case {
        std::string state;
        std::string text;
        const char* iterations;
    };
    const std::vector<Case> cases = {
        {"ONE", "1ABCDEF", "make regex iteration 1"},  // no 0/O: tested only as itself
        {"ONE", "1ABC0O0", "make regex iteration 9"},  // 2^3 variants plus the text
        {"TWO", "0O", "make regex iteration 10"},      // 5 texts against 2 syntaxes
    };
    for (const auto& c : cases) {
        auto capture = CapturingLog::install();
        correction.Correct0O(c.text, c.state, nullptr);
        EXPECT_TRUE(endsWith(capture.log->messages(ILog::LevelDebug).back(), c.iterations)) << c.text;
    }
}

TEST_F(PlateCorrectionCatalog, TooManyZeroPositionsTestOnlyTheText) {
    auto capture = CapturingLog::install();
    const std::string text(PlateCorrection::kMaxSwapPositions + 1, 'O');
    EXPECT_EQ(correction.Correct0O(text, "TWO", nullptr), text);
    EXPECT_TRUE(endsWith(capture.log->messages(ILog::LevelDebug).back(), "make regex iteration 2"));
    EXPECT_TRUE(capture.log->contains("only the text itself is tested", ILog::LevelWarning));
}

TEST_F(PlateCorrectionCatalog, CacheAnswersTheSecondCall) {
    auto capture = CapturingLog::install();
    PlateCorrection::CorrectionCache cache;
    EXPECT_EQ(correction.Correct0O("1ABC0O0", "ONE", &cache), "1ABC000");
    EXPECT_EQ(capture.log->count("Regex match"), 1u);
    EXPECT_EQ(correction.Correct0O("1ABC0O0", "ONE", &cache), "1ABC000");
    EXPECT_EQ(capture.log->count("Regex match"), 1u);
    EXPECT_TRUE(capture.log->contains(
        "LpEventBuilder: Correction: 1ABC0O0 --> 1ABC000 get from history corrected list", ILog::LevelDebug));
    EXPECT_EQ(capture.log->count("Full time correct 0O"), 1u);
    // The key holds the state: the same text for another state is corrected anew.
    EXPECT_EQ(correction.Correct0O("1ABC0O0", "US-CA", &cache), "1ABC000");
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_TRUE(cache.count("ONE|1ABC0O0"));
    EXPECT_TRUE(cache.count("US-CA|1ABC0O0"));
}

TEST_F(PlateCorrectionCatalog, CacheEntryIsNeverRewritten) {
    PlateCorrection::CorrectionCache cache;
    cache["ONE|1ABC0O0"] = {"ONE", "STORED", ""};
    EXPECT_EQ(correction.Correct0O("1ABC0O0", "ONE", &cache), "STORED");
    EXPECT_EQ(cache.size(), 1u);
}

TEST_F(PlateCorrectionCatalog, TextCorrectionFallsBackToTheDefaultState) {
    PlateCorrection::EventDefaults off;
    off.state.value.value = "ONE";
    PlateCorrection::EventDefaults on = off;
    on.state.use = true;

    PlateCorrection::CorrectionCache cache;
    EXPECT_EQ(correction.correctionLPR("1ABC0O0", "", off, &cache), "1ABC0O0");
    EXPECT_TRUE(cache.empty());
    EXPECT_EQ(correction.correctionLPR("1ABC0O0", "", on, &cache), "1ABC000");
    EXPECT_TRUE(cache.count("ONE|1ABC0O0"));
    // A state of its own wins over the default.
    EXPECT_EQ(correction.correctionLPR("0O", "TWO", on, &cache), "0O");
    EXPECT_TRUE(cache.count("TWO|0O"));
}

TEST(PlateCorrectionState, DefaultReplacesOnlyAnEmptyStateWhenOn) {
    PlateCorrection::EventDefaults defaults;
    EXPECT_FLOAT_EQ(defaults.state.value.confidence, 0.99f);
    defaults.state.value.value = "DEMO";
    defaults.state.value.confidence = 0.8f;
    struct Case {
        StateValue given;
        bool use;
        StateValue expected;
    };
    const std::vector<Case> cases = {
        {{"", 0.1f, 4}, true, {"DEMO", 0.8f, 4}},
        {{"", 0.1f, 4}, false, {"", 0.1f, 4}},
        {{"US-CA", 0.6f, -1}, true, {"US-CA", 0.6f, -1}},
    };
    for (const auto& c : cases) {
        defaults.state.use = c.use;
        const auto got = PlateCorrection::correctionState(c.given, defaults);
        EXPECT_EQ(got.value, c.expected.value);
        EXPECT_FLOAT_EQ(got.confidence, c.expected.confidence);
        EXPECT_EQ(got.classId, c.expected.classId);
    }
}

TEST(PlateCorrectionLoading, ErrorsNameTheFileAndTheFault) {
    TempDir dir;
    const auto missing = dir.file("missing.json");
    const auto malformed = writeFile(dir, "malformed.json", "{\"list\": [");
    struct Case {
        std::string path;
        std::string expected;  // the whole message, or its beginning when `prefixOnly`
        bool prefixOnly;
    };
    const std::vector<Case> cases = {
        {missing, "QEVAEventPoster: plate catalog file: " + missing + " not exist", false},
        {dir.path().string(), "QEVAEventPoster: Can`t open file: " + dir.path().string(), false},
        {malformed, "QEVAEventPoster: JSON parsing error file: " + malformed + ", error message: ", true},
        {writeFile(dir, "deep.json", std::string(100, '[') + std::string(100, ']')),
         "QEVAEventPoster: JSON parsing error file: " + dir.file("deep.json") +
             ", error message: plate catalog: nested deeper than 64 levels",
         false},
        {writeFile(dir, "regex.json", R"({"list": [{"plate_state": "A", "syntax_regex": "[0-9"}]})"),
         "QEVAEventPoster: plate catalog file: " + dir.file("regex.json") +
             ": \"list\"[0].\"syntax_regex\": \"[0-9\": not a valid regular expression: ",
         true},
        // std::regex reads such a count into a long unchecked.
        {writeFile(dir, "repeat.json",
                   R"({"list": [{"plate_state": "A", "syntax_regex": "[0-9]{99999999999999999999}"}]})"),
         "QEVAEventPoster: plate catalog file: " + dir.file("repeat.json") +
             ": \"list\"[0].\"syntax_regex\": \"[0-9]{99999999999999999999}\": a repetition count or "
             "back-reference over 4 digits",
         false},
        // Endless: refused one byte past the bound, never read to its end.
        {"/dev/zero", "QEVAEventPoster: plate catalog file: /dev/zero: larger than 16777216 bytes", false},
        {writeFile(dir, "type.json", R"({"list": [{}, {"plate_state": 5}]})"),
         "QEVAEventPoster: plate catalog file: " + dir.file("type.json") +
             ": \"list\"[1].\"plate_state\": must be a string, but is number",
         false},
        {writeFile(dir, "list.json", R"({"list": {"plate_state": "A"}})"),
         "QEVAEventPoster: plate catalog file: " + dir.file("list.json") +
             ": \"list\": must be an array, but is object",
         false},
        {writeFile(dir, "stamp.json", R"({"timestamp": 5})"),
         "QEVAEventPoster: plate catalog file: " + dir.file("stamp.json") +
             ": \"timestamp\": must be a string, but is number",
         false},
        {writeFile(dir, "long.json", R"({"list": [{"syntax_regex": ")" + std::string(1025, 'A') + "\"}]}"),
         "QEVAEventPoster: plate catalog file: " + dir.file("long.json") +
             ": \"list\"[0].\"syntax_regex\": expression longer than 1024 characters",
         false},
    };
    for (const auto& c : cases) {
        const auto message = loadError(c.path);
        if (c.prefixOnly) {
            EXPECT_EQ(message.substr(0, c.expected.size()), c.expected);
            EXPECT_GT(message.size(), c.expected.size()) << "the reason follows";
        } else {
            EXPECT_EQ(message, c.expected);
        }
    }
}

TEST(PlateCorrectionLoading, ACatalogAtTheSizeBoundLoadsOneByteMoreIsRefused) {
    TempDir dir;
    const std::string syntaxes = R"({"list": [{"plate_state": "A", "syntax_regex": "[0-9]{3}"}]})";
    constexpr size_t kBound = 16 * 1024 * 1024;
    std::string text = syntaxes + std::string(kBound - syntaxes.size(), ' ');
    PlateCorrection atBound(writeFile(dir, "bound.json", text));
    EXPECT_EQ(atBound.syntaxArray().size(), 1u);
    text += ' ';
    EXPECT_EQ(
        loadError(writeFile(dir, "over.json", text)),
        "QEVAEventPoster: plate catalog file: " + dir.file("over.json") + ": larger than 16777216 bytes");
}

TEST(PlateCorrectionLoading, DocumentsWithoutSyntaxesWarn) {
    TempDir dir;
    struct Case {
        std::string text;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {"[1, 2]", "is not a JSON object, no syntaxes loaded"},
        {"\"list\"", "is not a JSON object, no syntaxes loaded"},
        {R"({"timestamp": "today"})", "has no \"list\", no syntaxes loaded"},
    };
    for (const auto& c : cases) {
        auto capture = CapturingLog::install();
        PlateCorrection correction(writeFile(dir, "catalog.json", c.text));
        EXPECT_TRUE(correction.syntaxArray().empty()) << c.text;
        EXPECT_EQ(correction.specialRulesArray().size(), 10u);
        EXPECT_TRUE(capture.log->contains(c.warning, ILog::LevelWarning)) << c.text;
    }
}

TEST(PlateCorrectionLoading, ExampleCatalogLoadsInFileOrder) {
    auto capture = CapturingLog::install();
    PlateCorrection correction(kExampleCatalog);
    const auto& syntaxes = correction.syntaxArray();
    ASSERT_EQ(syntaxes.size(), 3u);
    EXPECT_EQ(syntaxes[0].plate_state, "DEMO");
    EXPECT_EQ(syntaxes[0].plate_type, "car");
    EXPECT_EQ(syntaxes[0].region, "demo");
    EXPECT_EQ(syntaxes[1].syntax_regex, "[1-9][A-Z]{3}[0-9]{3}");
    EXPECT_EQ(correction.syntaxByState().at("US-CA"), std::vector<size_t>{1});
    // Keys are walked in sorted order: "list" before "timestamp".
    const auto info = capture.log->messages(ILog::LevelInfo);
    ASSERT_EQ(info.size(), 2u);
    EXPECT_EQ(info[0], "QEVAEventPoster: syntax list count: 3");
    EXPECT_EQ(info[1], "QEVAEventPoster: Timestamp syntax list: 2026-01-15T00:00:00Z");
}

// The demo's plates fit the example catalog as they are, and a reader's O for their 0 is mended.
TEST(PlateCorrectionLoading, ExampleCatalogFitsTheDemoPlates) {
    PlateCorrection correction(kExampleCatalog);
    PlateCorrection::EventDefaults defaults;
    defaults.state.use = true;
    defaults.state.value.value = "DEMO";
    std::ifstream truth(std::string(QO_SOURCE_DIR) + "/demo/road.truth.jsonl");
    std::set<std::string> plates;
    for (std::string line; std::getline(truth, line);) {
        plates.insert(nlohmann::json::parse(line).at("text").get<std::string>());
    }
    ASSERT_GT(plates.size(), 10u);
    PlateCorrection::CorrectionCache cache;
    int withZero = 0;
    for (const auto& plate : plates) {
        EXPECT_EQ(correction.correctionLPR(plate, "", defaults, &cache), plate);
        EXPECT_EQ(cache.at("DEMO|" + plate).regex_str, "[0-9A-NP-Z]{5,8}") << plate;
        std::string misread = plate;
        for (auto& c : misread) {
            c = c == '0' ? 'O' : c;
        }
        if (misread != plate) {
            ++withZero;
            EXPECT_EQ(correction.correctionLPR(misread, "DEMO", defaults, &cache), plate);
        }
    }
    EXPECT_GT(withZero, 0);
}

}  // namespace
