#include "src/monitoring/ProcessMemory.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

ek::ProcessMemory parse(const std::string& text) {
    std::istringstream in(text);
    return ek::ProcessMemory::parse(in);
}

// The lines of a real "/proc/self/status" that matter, among others.
const std::string kStatus =
    "Name:\tqo_core\n"
    "Umask:\t0022\n"
    "VmPeak:\t 9999999 kB\n"
    "VmSize:\t 4194304 kB\n"
    "VmHWM:\t  524288 kB\n"
    "VmRSS:\t  262144 kB\n"
    "RssAnon:\t  204800 kB\n"
    "RssFile:\t   57344 kB\n"
    "RssShmem:\t       0 kB\n"
    "VmData:\t 1048576 kB\n"
    "VmSwap:\t    1023 kB\n"
    "Threads:\t42\n"
    "SigQ:\t0/63480\n";

TEST(ProcessMemory, ReadsTheFiguresOfTheStatusFile) {
    const auto memory = parse(kStatus);
    EXPECT_EQ(memory.vmSize, 4194304);
    EXPECT_EQ(memory.vmHwm, 524288);
    EXPECT_EQ(memory.vmRss, 262144);
    EXPECT_EQ(memory.rssAnon, 204800);
    EXPECT_EQ(memory.rssFile, 57344);
    EXPECT_EQ(memory.vmData, 1048576);
    EXPECT_EQ(memory.vmSwap, 1023);
    EXPECT_EQ(memory.threads, 42);
    // VmSwap 1023 kB is 0 MB: whole megabytes, truncated.
    EXPECT_EQ(memory.line(7),
              "Memory stat: VmRSS=256 MB, VmHWM=512 MB, RssAnon=200 MB, RssFile=56 MB, VmSize=4096 MB, "
              "VmData=1024 MB, VmSwap=0 MB, Threads=42, Frames=7");
}

TEST(ProcessMemory, MissingOrUnreadableFiguresStayUnread) {
    struct Case {
        const char* what;
        std::string text;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"no swap and no Threads line", "VmRSS:\t2048 kB\nVmHWM:\t4096 kB\n",
         "Memory stat: VmRSS=2 MB, VmHWM=4 MB, RssAnon=0 MB, RssFile=0 MB, VmSize=0 MB, VmData=0 MB, "
         "VmSwap=0 MB, Threads=-1, Frames=0"},
        {"empty text", "",
         "Memory stat: VmRSS=0 MB, VmHWM=0 MB, RssAnon=0 MB, RssFile=0 MB, VmSize=0 MB, VmData=0 MB, "
         "VmSwap=0 MB, Threads=-1, Frames=0"},
        {"values that are no numbers or out of range",
         "VmRSS:\tlots kB\nVmSwap:\t99999999999999999999999 kB\nThreads:\t99999999999\nVmData:\n",
         "Memory stat: VmRSS=0 MB, VmHWM=0 MB, RssAnon=0 MB, RssFile=0 MB, VmSize=0 MB, VmData=0 MB, "
         "VmSwap=0 MB, Threads=-1, Frames=0"},
        {"a prefix in the middle of a line is not a field", "Name:\tVmRSS: 4096 kB\n xThreads:\t3\n",
         "Memory stat: VmRSS=0 MB, VmHWM=0 MB, RssAnon=0 MB, RssFile=0 MB, VmSize=0 MB, VmData=0 MB, "
         "VmSwap=0 MB, Threads=-1, Frames=0"},
        {"without the kB unit", "VmRSS: 3072\nThreads:\t5",
         "Memory stat: VmRSS=3 MB, VmHWM=0 MB, RssAnon=0 MB, RssFile=0 MB, VmSize=0 MB, VmData=0 MB, "
         "VmSwap=0 MB, Threads=5, Frames=0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse(c.text).line(0), c.line) << c.what;
    }
}

TEST(ProcessMemory, AFileThatCannotBeOpenedLeavesEveryFigureUnread) {
    TempDir dir;
    const auto memory = ek::ProcessMemory::read((dir.path() / "no-such-file").string());
    EXPECT_EQ(memory.line(3),
              "Memory stat: VmRSS=0 MB, VmHWM=0 MB, RssAnon=0 MB, RssFile=0 MB, VmSize=0 MB, VmData=0 MB, "
              "VmSwap=0 MB, Threads=-1, Frames=3");
}

TEST(ProcessMemory, ReadsThisProcess) {
    const auto memory = ek::ProcessMemory::read();
    EXPECT_GT(memory.vmRss, 0);
    EXPECT_GE(memory.threads, 1);
}

}  // namespace
