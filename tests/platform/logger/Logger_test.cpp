#include "platform/logger/Logger.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "LogLine.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

Logger::Options fileOptions(const std::string& path, int level) {
    Logger::Options options;
    options.level = level;
    options.sender = "qo_test";
    options.file = true;
    options.filePath = path;
    return options;
}

void sendOneOfEachLevel(ILog& log) {
    log.SendLog("an error", ILog::LevelError, 0);
    log.SendLog("a warning", ILog::LevelWarning, 0);
    log.SendLog("some info", ILog::LevelInfo, 0);
    log.SendLog("a detail", ILog::LevelDebug, 0);
}

// Puts ILog::instance and the working directory back after a test that changes them.
class ProcessState : public ::testing::Test {
  protected:
    void SetUp() override {
        savedLog_ = ILog::instance;
        savedDir_ = std::filesystem::current_path();
    }
    void TearDown() override {
        ILog::instance = savedLog_;
        std::filesystem::current_path(savedDir_);
    }

  private:
    std::shared_ptr<ILog> savedLog_;
    std::filesystem::path savedDir_;
};

TEST(LoggerTest, LevelFilterDropsMessagesAboveTheConfiguredLevel) {
    const std::vector<std::string> all{"an error", "a warning", "some info", "a detail"};
    for (int level = -1; level <= 4; ++level) {
        TempDir dir;
        Logger logger(fileOptions(dir.file("log.txt"), level));
        EXPECT_EQ(logger.level(), level);
        sendOneOfEachLevel(logger);
        auto lines = readLines(dir.file("log.txt"));
        size_t expected = static_cast<size_t>(std::clamp(level + 1, 0, 4));
        ASSERT_EQ(lines.size(), expected) << "level " << level;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NE(lines[i].find(all[i]), std::string::npos) << lines[i];
        }
    }
}

TEST(LoggerTest, EachLineHasTimeLevelAndSender) {
    TempDir dir;
    Logger logger(fileOptions(dir.file("log.txt"), ILog::LevelDebug));
    sendOneOfEachLevel(logger);
    logger.SendLog("", ILog::LevelInfo, 0);
    const std::pair<const char*, const char*> expected[] = {{"Error", "an error"},
                                                            {"Warning", "a warning"},
                                                            {"Info", "some info"},
                                                            {"Debug", "a detail"},
                                                            {"Info", ""}};
    auto lines = readLines(dir.file("log.txt"));
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        auto parsed = LogLine::parse(lines[i]);
        ASSERT_TRUE(parsed) << lines[i];
        EXPECT_EQ(parsed->level, expected[i].first);
        EXPECT_EQ(parsed->sender, "qo_test");
        EXPECT_EQ(parsed->message, expected[i].second);
    }
}

TEST(LoggerTest, FileIsAppendedTo) {
    TempDir dir;
    {
        Logger first(fileOptions(dir.file("log.txt"), ILog::LevelInfo));
        first.SendLog("first run", ILog::LevelInfo, 0);
    }
    Logger second(fileOptions(dir.file("log.txt"), ILog::LevelInfo));
    second.SendLog("second run", ILog::LevelInfo, 0);
    auto lines = readLines(dir.file("log.txt"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("first run"), std::string::npos);
}

TEST_F(ProcessState, InitInstallsALoggerWritingQoCoreLogInTheWorkingDirectory) {
    TempDir dir;
    std::filesystem::current_path(dir.path());
    auto log = Log::Init("", 0, ILog::LevelInfo, "core", true, false);
    ASSERT_TRUE(log);
    EXPECT_EQ(ILog::instance, log);
    EXPECT_EQ(log->level(), ILog::LevelInfo);
    EXPECT_TRUE(ILog::Info("Log verbose level: %i", log->level()));
    ILog::Debug("not at this level");
    auto lines = readLines(dir.file("qo_core.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[Info] core: Log verbose level: 2"), std::string::npos) << lines[0];
}

TEST(LoggerTest, WithoutFileOrServerLinesGoToStandardError) {
    Logger::Options options;
    options.level = ILog::LevelInfo;
    options.sender = "alone";
    Logger logger(options);
    testing::internal::CaptureStderr();
    logger.SendLog("to stderr", ILog::LevelWarning, 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Warning] alone: to stderr\n"), std::string::npos) << err;
}

TEST(LoggerTest, FailedWriteIsCountedNotThrown) {
    Logger logger(fileOptions("/dev/full", ILog::LevelInfo));
    EXPECT_FALSE(logger.SendLog("lost", ILog::LevelError, 0));
    EXPECT_FALSE(logger.SendLog("lost too", ILog::LevelError, 0));
    EXPECT_TRUE(logger.SendLog("filtered", ILog::LevelDebug, 0));
    EXPECT_EQ(logger.failedSends(), 2u);
}

TEST(LoggerTest, BadSettingsAreRefusedWithTheCause) {
    TempDir dir;
    auto server = [](const char* ip, int port, bool http) {
        Logger::Options o;
        o.ip = ip;
        o.port = port;
        o.http = http;
        return o;
    };
    EXPECT_THROW(Logger(server("127.0.0.1", -1, false)), std::invalid_argument);
    EXPECT_THROW(Logger(server("127.0.0.1", 65536, true)), std::invalid_argument);
    for (bool http : {false, true}) {
        try {
            Logger logger(server("log.example", 514, http));
            ADD_FAILURE() << "a host name was taken";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("log.example"), std::string::npos) << e.what();
        }
    }
    try {
        Logger logger(fileOptions(dir.file("absent/log.txt"), ILog::LevelInfo));
        ADD_FAILURE() << "a missing directory was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("absent/log.txt"), std::string::npos) << e.what();
    }
}

// A UDP socket on 127.0.0.1 that receives the logger's datagrams.
class UdpReceiver {
  public:
    UdpReceiver() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            throw std::runtime_error("bind failed");
        }
        socklen_t length = sizeof(addr);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        timeval guard{10, 0};  // only against a hang
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
    }
    ~UdpReceiver() { ::close(fd_); }
    int port() const { return port_; }
    std::string receive() {
        std::string buffer(70000, '\0');
        ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buffer;
    }

  private:
    int fd_;
    int port_ = 0;
};

TEST(LoggerTest, UdpSinkSendsOneDatagramPerLine) {
    UdpReceiver receiver;
    Logger::Options options;
    options.ip = "127.0.0.1";
    options.port = receiver.port();
    options.level = ILog::LevelInfo;
    options.sender = "udp";
    Logger logger(options);
    sendOneOfEachLevel(logger);
    const std::string longText(100000, 'y');
    EXPECT_TRUE(logger.SendLog(longText, ILog::LevelInfo, 0));

    for (const char* expected :
         {"[Error] udp: an error", "[Warning] udp: a warning", "[Info] udp: some info"}) {
        std::string datagram = receiver.receive();
        EXPECT_NE(datagram.find(expected), std::string::npos) << datagram;
        EXPECT_EQ(datagram.find('\n'), std::string::npos);
    }
    std::string cut = receiver.receive();
    EXPECT_EQ(cut.size(), 65000u);
    EXPECT_EQ(logger.failedSends(), 0u);
}

// An HTTP log server on 127.0.0.1 that keeps the bodies it is sent.
class HttpReceiver {
  public:
    HttpReceiver() {
        server_.Post("/log", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex_);
            bodies_.push_back(req.body);
            contentType_ = req.get_header_value("Content-Type");
            res.status = 204;
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::yield();
        }
    }
    ~HttpReceiver() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }
    std::vector<std::string> bodies() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bodies_;
    }
    std::string contentType() {
        std::lock_guard<std::mutex> lock(mutex_);
        return contentType_;
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> bodies_;
    std::string contentType_;
};

Logger::Options httpOptions(int port) {
    Logger::Options options;
    options.ip = "127.0.0.1";
    options.port = port;
    options.http = true;
    options.level = ILog::LevelDebug;
    options.sender = "http";
    return options;
}

TEST(LoggerTest, HttpSinkPostsEachLineInOrder) {
    HttpReceiver receiver;
    Logger logger(httpOptions(receiver.port()));
    sendOneOfEachLevel(logger);
    logger.PostMessage();  // waits for the queued posts
    auto bodies = receiver.bodies();
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_NE(bodies[0].find("[Error] http: an error"), std::string::npos) << bodies[0];
    EXPECT_NE(bodies[3].find("[Debug] http: a detail"), std::string::npos) << bodies[3];
    EXPECT_EQ(receiver.contentType(), "text/plain; charset=utf-8");
    EXPECT_EQ(logger.failedSends(), 0u);
}

TEST(LoggerTest, HttpSinkCountsPostsThatFindNoServer) {
    int port = 0;
    {
        HttpReceiver gone;  // a port that was just served and is now closed
        port = gone.port();
    }
    Logger logger(httpOptions(port));
    EXPECT_TRUE(logger.SendLog("queued", ILog::LevelError, 0));
    EXPECT_TRUE(logger.SendLog("queued too", ILog::LevelError, 0));
    logger.PostMessage();
    EXPECT_EQ(logger.failedSends(), 2u);
}

}  // namespace
