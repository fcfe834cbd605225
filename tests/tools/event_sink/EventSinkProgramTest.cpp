// The event_sink program as the demo runs it: start, print its address, print one line per
// event (with its clip files under the folder given by --clips), stop on SIGTERM with its counts.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "qo_common/event_poster/QEVAEventPoster.h"
#include "tests/support/TempDir.h"
#include "tests/tools/event_sink/SampleEvent.h"

extern char** environ;

namespace {

class SinkProcess {
  public:
    // `tsanSuppressions`: a file for the child's ThreadSanitizer, when the tests run under it.
    SinkProcess(const std::string& folder, const std::string& tsanSuppressions) {
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::string program = EVENT_SINK;
        std::vector<std::string> args = {
            program, "--port", "0", "--out", folder, "--clips", "demo-output/clips/"};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("TSAN_OPTIONS=", 0) != 0) {
                env.emplace_back(*e);
            }
        }
        const char* tsan = std::getenv("TSAN_OPTIONS");
        env.push_back(std::string("TSAN_OPTIONS=") + (tsan ? std::string(tsan) + ":" : "") +
                      "suppressions=" + tsanSuppressions);
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            throw std::runtime_error("cannot start " + program);
        }
        out_ = fdopen(fds[0], "r");
    }
    ~SinkProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) {
            fclose(out_);
        }
    }

    std::string line() {
        char buffer[1024];
        return fgets(buffer, sizeof(buffer), out_) != nullptr ? std::string(buffer) : std::string();
    }

    // Sends SIGTERM and returns the exit status.
    int stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

TEST(EventSinkProgram, PrintsOneLinePerEventAndStopsOnSigterm) {
    QEVAEventPoster::globalInit();
    TempDir dir;
    {
        // GDAL, inside OpenCV's JPEG reader, takes its own two mutexes in both orders.
        std::ofstream(dir.file("tsan.supp")) << "deadlock:libgdal.so\n";
    }
    SinkProcess sink(dir.file("events"), dir.file("tsan.supp"));
    std::string first = sink.line();
    const std::string prefix = "event_sink: listening on 127.0.0.1:";
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    int port = std::stoi(first.substr(prefix.size()));

    {
        QEVAEventPoster poster({{"name", "p"},
                                {"url", "http://127.0.0.1:" + std::to_string(port) + "/qeva"},
                                {"spoolPath", dir.file("spool")}});
        poster.post(sampleEvent());
        EXPECT_EQ(sink.line(),
                  "event lane=7 plates=AB123CD,AB123CE confidence=0.93 images=4 "
                  "guid=5b0c3f4e-8d1a-4a57-9a0e-2c1f0e3b7d21 clips=demo-output/clips/clip-1.mp4\n");
    }  // closes its kept-alive connection

    EXPECT_EQ(sink.stop(), 0);
    EXPECT_EQ(sink.line(), "event_sink: stopped, 1 stored, 0 refused\n");
}

}  // namespace
