#include "qo_common/syntax/Watchlist.h"

#include <gtest/gtest.h>

#include "SyntaxFiles.h"

namespace {

using T = ek::WatchlistMatchType;

const char* kRecords = R"({
  "records": [
    {"plate": "AB123CD", "state": "FR", "type": "car", "region": "eu"},
    {"plate": "AB123CE", "state": "FR", "type": "van", "region": "eu"},
    {"plate": "XY100", "state": "GB", "region": "eu"},
    {"plate": "XY1OO", "state": "GB", "region": "eu"},
    {"plate": "7ABC123", "state": "CA", "region": "us"},
    {"plate": "ZZ9", "region": "*"},
    {"plate": "QQ1"}
  ]
})";

TEST(Watchlist, MatchTypesTable) {
    ScratchFile file(kRecords);
    ek::Watchlist watchlist(file.str(), "eu");
    struct Case {
        std::string text;
        T type;
        std::vector<std::string> plates;
    };
    const Case cases[] = {
        {"AB123CD", T::ExactUnique, {"AB123CD"}},
        {"A8123CD", T::AmbigueUnique, {"AB123CD"}},
        {"AB12ZCD", T::CorrectionUnique, {"AB123CD"}},  // Z/3 is no pair: one replacement
        {"XYIOO", T::AmbigueMultiply, {"XY100", "XY1OO"}},
        {"AB123C", T::CorrectionMultiply, {"AB123CD", "AB123CE"}},  // deletion
        {"AB123CDX", T::CorrectionUnique, {"AB123CD"}},             // insertion
        {"AB1X3CD", T::CorrectionUnique, {"AB123CD"}},              // replacement
        {"7ABC123", T::NotFound, {}},                               // another region
        {"ZZ9", T::ExactUnique, {"ZZ9"}},                           // any region
        {"Q01", T::CorrectionUnique, {"QQ1"}},                      // record without region
        {"", T::NotFound, {}},
        {"NOTHING", T::NotFound, {}},
    };
    for (const auto& c : cases) {
        auto match = watchlist.match(c.text);
        std::vector<std::string> plates;
        for (const auto* r : match.matches) {
            plates.push_back(r->lpr);
        }
        EXPECT_EQ(match.type, c.type) << c.text;
        EXPECT_EQ(plates, c.plates) << c.text;
    }
}

TEST(Watchlist, EveryFoundTypeCarriesRecordsThatOutliveTheCall) {
    ScratchFile file(kRecords);
    ek::Watchlist watchlist(file.str(), "us");
    auto match = watchlist.match("7A8C123");
    ASSERT_EQ(match.type, T::AmbigueUnique);
    ASSERT_EQ(match.matches.size(), 1u);
    EXPECT_EQ(match.matches[0], &watchlist.records()[0]);
    EXPECT_EQ(match.matches[0]->state, "CA");
    for (const std::string text : {"7ABC123", "7ABC12", "ZZ9", "QQ"}) {
        auto m = watchlist.match(text);
        EXPECT_NE(m.type, T::NotFound) << text;
        EXPECT_FALSE(m.matches.empty()) << text;
    }
}

TEST(Watchlist, BrokenFilesFailNamingTheFile) {
    const std::string bad[] = {"{", R"({"records": [{"state": "FR"}]})", R"({"records": [{"plate": ""}]})",
                               R"({"records": 5})", R"({"plates": []})"};
    for (const auto& content : bad) {
        ScratchFile file(content);
        try {
            ek::Watchlist watchlist(file.str(), "eu");
            ADD_FAILURE() << content << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(file.str()), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(ek::Watchlist("/nonexistent/watchlist.json", "eu"), std::runtime_error);
}

TEST(Watchlist, TheShippedFileLoads) {
    ek::Watchlist watchlist(std::string(QO_SOURCE_DIR) + "/syntaxes/watchlist.json", "eu");
    EXPECT_EQ(watchlist.match("AB123CD").type, T::ExactUnique);
    EXPECT_EQ(watchlist.match("B5T1234").type, T::ExactUnique);
    EXPECT_EQ(watchlist.match("7ABC123").type, T::NotFound);
    ek::Watchlist us(std::string(QO_SOURCE_DIR) + "/syntaxes/watchlist.json", "us");
    EXPECT_EQ(us.match("7ABC123").type, T::ExactUnique);
    EXPECT_EQ(us.match("B5T1Z34").type, T::AmbigueUnique);
}

}  // namespace
