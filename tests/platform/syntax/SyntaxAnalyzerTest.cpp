#include "qo_common/syntax/SyntaxAnalyzer.h"
#include "qo_common/syntax/Watchlist.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "SyntaxFiles.h"

namespace {

using nlohmann::json;

const char* kSyntaxes = R"({
  "syntaxes": [
    {"definition": "[A-Z]{2}[0-9]{3}[A-Z]{2}", "state": "FR", "type": "car", "region": "eu"},
    {"definition": "[0-9]{3}", "state": "DIG", "type": "test", "region": "eu"},
    {"definition": "[0-9][A-Z]{3}[0-9]{3}", "state": "CA", "type": "car", "region": "us"},
    {"definition": "Q[0-9]Q", "state": "ANY", "type": "any"}
  ]
})";

json network(const std::string& region) {
    return {{"model", {{"region", region}}}};
}

TEST(SyntaxAnalyzer, MatchesAndCorrectsConfusableCharacters) {
    ScratchFile file(kSyntaxes);
    ek::SyntaxAnalyzer analyzer(file.str(), network("eu"));
    struct Case {
        std::string text;
        bool matched;
        std::string lpr, state;
    };
    const Case cases[] = {
        {"AB123CD", true, "AB123CD", "FR"},  // exact
        {"AB1Z3CD", true, "AB123CD", "FR"},  // Z -> 2
        {"A8123CD", true, "AB123CD", "FR"},  // 8 -> B
        {"AB12SC0", true, "AB125CO", "FR"},  // S -> 5 and 0 -> O
        {"A812SC0", false, "A812SC0", ""},   // would need three replacements, two are allowed
        {"A81Z3CD", true, "AB123CD", "FR"},  // two replacements
        {"1O5", true, "105", "DIG"},         // O -> 0
        {"Q1Q", true, "Q1Q", "ANY"},         // a syntax without region serves every network
        {"QIQ", true, "Q1Q", "ANY"},
        {"7ABC123", false, "7ABC123", ""},  // another region's syntax
        {"", false, "", ""},
        {"XYZ", false, "XYZ", ""},
    };
    for (const auto& c : cases) {
        auto match = analyzer.match(c.text);
        EXPECT_EQ(match.isMatched, c.matched) << c.text;
        EXPECT_EQ(match.lpr, c.lpr) << c.text;
        EXPECT_EQ(match.info.state, c.state) << c.text;
    }
}

TEST(SyntaxAnalyzer, FewestReplacementsWinThenFileOrder) {
    ScratchFile file(R"({"syntaxes": [{"definition": "[A-Z][0-9]{2}"}, {"definition": "[A-Z]{2}[0-9]"},
                                     {"definition": "[0-9]{3}"}]})");
    ek::SyntaxAnalyzer analyzer(file.str(), json::object());
    EXPECT_EQ(analyzer.match("B8S").lpr, "B85");  // one replacement, first syntax
    EXPECT_EQ(analyzer.match("88S").lpr, "885");  // the third syntax needs one, the first two
}

TEST(SyntaxAnalyzer, InfoOutlivesTheCallAndTheUnmatchedInfoIsEmpty) {
    ScratchFile file(kSyntaxes);
    ek::SyntaxAnalyzer analyzer(file.str(), network("us"));
    const ek::SyntaxInfo* info = &analyzer.match("7ABC123").info;
    EXPECT_EQ(info, &analyzer.syntaxes()[0]);
    EXPECT_EQ(info->definition, "[0-9][A-Z]{3}[0-9]{3}");
    EXPECT_EQ(info->region, "us");
    auto none = analyzer.match("nothing");
    EXPECT_FALSE(none.isMatched);
    EXPECT_TRUE(none.info.definition.empty());
}

TEST(SyntaxAnalyzer, NetworkWithoutRegionUsesEverySyntaxAndConfusablesAreConfigurable) {
    ScratchFile file(R"({"confusables": [["Q", "0"]], "maxCorrections": 1,
                        "syntaxes": [{"definition": "[0-9]{3}", "region": "eu"}, {"definition": "X[0-9]", "region": "us"}]})");
    ek::SyntaxAnalyzer analyzer(file.str(), json::object());
    EXPECT_EQ(analyzer.syntaxes().size(), 2u);
    EXPECT_EQ(analyzer.match("1Q3").lpr, "103");
    EXPECT_FALSE(analyzer.match("1O3").isMatched);  // O/0 is no longer a pair
    EXPECT_FALSE(analyzer.match("QQ3").isMatched);  // two replacements, one allowed
    EXPECT_TRUE(analyzer.match("X7").isMatched);
}

TEST(SyntaxAnalyzer, BrokenFilesFailNamingTheFile) {
    const std::string bad[] = {
        "not json",
        "[1, 2]",
        R"({"nosyntaxes": []})",
        R"({"syntaxes": [{"state": "FR"}]})",
        R"({"syntaxes": [{"definition": "[A-Z"}]})",
        R"({"confusables": ["ABC"], "syntaxes": []})",
    };
    for (const auto& content : bad) {
        ScratchFile file(content);
        try {
            ek::SyntaxAnalyzer analyzer(file.str(), json::object());
            ADD_FAILURE() << content << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(file.str()), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(ek::SyntaxAnalyzer("/nonexistent/default-syntax.json", json::object()), std::runtime_error);
}

TEST(SyntaxAnalyzer, HostileFilesAreRefusedNamingTheKeyPath) {
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"syntaxes": [{"definition": "A{66666666666666666666}"}]})",
         "syntaxes[0].definition: a repetition count or back-reference over 4 digits"},
        {R"({"syntaxes": [{"definition": "[A-Z]"}, {"definition": "(A)\\123456"}]})",
         "syntaxes[1].definition: a repetition count or back-reference over 4 digits"},
        {R"({"syntaxes": [{"definition": "([A-Z])\\1"}]})",
         "syntaxes[0].definition: a back-reference, which could make matching take exponential time"},
        {R"({"syntaxes": [{"definition": ")" + std::string(300, 'A') + R"("}]})",
         "syntaxes[0].definition: longer than 256 characters"},
        {R"({"syntaxes": [{"definition": "(A"}]})",
         "syntaxes[0].definition: not a valid regular expression: "},
        {R"({"syntaxes": [{"definition": 5}]})", "syntaxes[0].definition: expected a string, got number 5"},
        {R"({"maxCorrections": 1000, "syntaxes": []})",
         "maxCorrections: expected an integer from 0 to 4, got number 1000"},
        {R"({"syntaxes": {"a": 1}})", R"(syntaxes: expected an array, got object {"a":1})"},
        {R"({"syntaxes": )" + deep + "}", "nested deeper than 64 levels"},
    };
    for (const auto& [content, error] : cases) {
        ScratchFile file(content);
        try {
            ek::SyntaxAnalyzer analyzer(file.str(), json::object());
            ADD_FAILURE() << content << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(error), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(file.str()), std::string::npos) << e.what();
        }
    }
}

TEST(SyntaxAnalyzer, FilesBeyondTheBoundAreRefusedWithoutReadingThemAll) {
    try {
        ek::SyntaxAnalyzer analyzer("/dev/zero", json::object());
        ADD_FAILURE() << "an endless syntax file was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "SyntaxAnalyzer: /dev/zero: larger than 16777216 bytes");
    }
    try {
        ek::Watchlist watchlist("/dev/zero", "eu");
        ADD_FAILURE() << "an endless watch list was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Watchlist: /dev/zero: larger than 16777216 bytes");
    }
}

TEST(SyntaxAnalyzer, ManyConfusablesAndCorrectionsStillEndQuickly) {
    // Every letter confusable with every digit: without a bound on the candidates tried, one
    // unmatched 12-character text would take hours.
    json pairs = json::array();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        for (char digit = '0'; digit <= '9'; ++digit) {
            pairs.push_back(std::string{letter, digit});
        }
    }
    ScratchFile file(json{{"confusables", pairs},
                          {"maxCorrections", 4},
                          {"syntaxes", {{{"definition", "[a-z]{12}"}}, {{"definition", "Q[0-9]{11}"}}}}}
                         .dump());
    ek::SyntaxAnalyzer analyzer(file.str(), json::object());
    EXPECT_FALSE(analyzer.match("AB12CD34EF56").isMatched);
    EXPECT_TRUE(analyzer.match("Q1234567890I").isMatched);  // one correction: found early
}

TEST(SyntaxAnalyzer, TheShippedFileLoads) {
    ek::SyntaxAnalyzer analyzer(std::string(QO_SOURCE_DIR) + "/syntaxes/default-syntax.json", network("eu"));
    EXPECT_EQ(analyzer.match("AB1Z3CD").lpr, "AB123CD");
    EXPECT_EQ(analyzer.match("AB1Z3CD").info.state, "FR");
}

}  // namespace
