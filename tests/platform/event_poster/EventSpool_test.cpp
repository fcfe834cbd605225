// The spool alone: files written whole, oldest first, bounded, refusals moved aside.
#include "platform/event_poster/EventSpool.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

SpooledRequest request(const std::string& guid, size_t bodyBytes = 10) {
    SpooledRequest r;
    r.url = "http://127.0.0.1:1/events";
    r.contentType = "application/json";
    r.body = std::string(bodyBytes, 'x');
    r.guid = guid;
    r.lane = "north";
    r.plate = "AB123";
    r.spooledAt = 1000;
    return r;
}

std::vector<std::string> guidsInOrder(EventSpool& spool) {
    std::vector<std::string> guids;
    while (auto e = spool.oldest()) {
        guids.push_back(e->guid);
        spool.remove(e->seq);
    }
    return guids;
}

size_t filesIn(const fs::path& dir) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        n += e.is_regular_file() ? 1 : 0;
    }
    return n;
}

TEST(EventSpool, RequestsComeBackWholeAndInOrderAlsoAfterAReopen) {
    TempDir dir;
    const fs::path path = dir.path() / "spool" / "main";
    {
        EventSpool spool(path, 1 << 20);
        spool.append(request("a"));
        auto second = request("b", 3000);
        second.body[7] = '\0';  // bodies are binary
        spool.append(second);
        const auto oldest = spool.oldest();
        ASSERT_TRUE(oldest);
        EXPECT_EQ(oldest->guid, "a");
        spool.remove(oldest->seq);
        const SpooledRequest back = spool.read(*spool.oldest());
        EXPECT_EQ(back.body, second.body);
        EXPECT_EQ(back.url, second.url);
        EXPECT_EQ(back.contentType, second.contentType);
        EXPECT_EQ(back.lane, "north");
        EXPECT_EQ(back.plate, "AB123");
        EXPECT_EQ(back.spooledAt, 1000);
        spool.append(request("c"));
    }
    EventSpool reopened(path, 1 << 20);
    EXPECT_EQ(reopened.count(), 2u);
    reopened.append(request("d"));  // numbered after what the earlier run left
    EXPECT_EQ(guidsInOrder(reopened), (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_EQ(reopened.bytes(), 0u);
    EXPECT_EQ(filesIn(path), 0u);
}

TEST(EventSpool, LeftoversOfACrashAreRemovedAndReportedAtStart) {
    TempDir dir;
    const fs::path path = dir.path() / "spool";
    {
        EventSpool spool(path, 1 << 20);
        spool.append(request("kept"));
        spool.append(request("cut"));
    }
    std::ofstream(path / ".00000000000000000009.tmp") << "half a request";
    fs::resize_file(path / "00000000000000000002.event", 20);  // cut inside its header
    std::ofstream(path / "00000000000000000005.event") << "{\"guid\": 5}\nbody";

    EventSpool spool(path, 1 << 20);
    const auto dropped = spool.takeDropped();
    ASSERT_EQ(dropped.size(), 3u);
    EXPECT_NE(dropped[0].reason.find("partial spool file removed"), std::string::npos);
    EXPECT_NE(dropped[1].reason.find("unreadable spool file"), std::string::npos);
    EXPECT_EQ(dropped[1].entry.file.filename(), "00000000000000000002.event");
    EXPECT_EQ(dropped[2].entry.file.filename(), "00000000000000000005.event");
    EXPECT_TRUE(spool.takeDropped().empty());
    EXPECT_EQ(guidsInOrder(spool), std::vector<std::string>{"kept"});
    EXPECT_EQ(filesIn(path), 0u);
}

TEST(EventSpool, TheBoundDropsTheOldestAndRefusesWhatCannotFit) {
    TempDir dir;
    EventSpool probe(dir.path() / "probe", 1 << 20);
    probe.append(request("probe", 1000));
    const uint64_t one = probe.bytes();  // one request of 1000 body bytes on disk

    EventSpool spool(dir.path() / "spool", 2 * one + one / 2);
    EXPECT_TRUE(spool.append(request("a", 1000)).empty());
    EXPECT_TRUE(spool.append(request("b", 1000)).empty());
    const auto drops = spool.append(request("c", 1000));
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].entry.guid, "a");
    EXPECT_NE(drops[0].reason.find("spool full"), std::string::npos);
    EXPECT_LE(spool.bytes(), 2 * one + one / 2);

    const auto huge = spool.append(request("huge", 4 * one));
    ASSERT_EQ(huge.size(), 1u);
    EXPECT_EQ(huge[0].entry.guid, "huge");
    EXPECT_NE(huge[0].reason.find("larger than the spool bound"), std::string::npos);
    EXPECT_EQ(guidsInOrder(spool), (std::vector<std::string>{"b", "c"}));
}

TEST(EventSpool, ARefusedRequestIsMovedAside) {
    TempDir dir;
    EventSpool spool(dir.path() / "spool", 1 << 20);
    spool.append(request("no"));
    spool.append(request("yes"));
    EXPECT_TRUE(spool.refuse(spool.oldest()->seq));
    EXPECT_EQ(filesIn(spool.refusedDirectory()), 1u);
    EXPECT_EQ(spool.oldest()->guid, "yes");
    EXPECT_FALSE(spool.refuse(12345));
    EXPECT_FALSE(spool.remove(12345));
}

TEST(EventSpool, ADirectoryThatCannotBeMadeFailsNamingIt) {
    TempDir dir;
    std::ofstream(dir.path() / "file") << "not a directory";
    const fs::path path = dir.path() / "file" / "spool";
    try {
        EventSpool spool(path, 1 << 20);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot make spool directory " + path.string()),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
