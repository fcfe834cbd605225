#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// A child process started in a working directory, its standard output and error going to files
// there ("stdout.txt", "stderr.txt"). Killed at the end of the scope if still running.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir)
        : workDir_(workDir) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
        posix_spawn_file_actions_addopen(&actions, 1, (workDir + "/stdout.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, (workDir + "/stderr.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        const int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            throw std::runtime_error("cannot start " + program);
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit status; -1 when the process did not end within `guard` (it is then killed) or ended
    // by a signal. The guard only keeps a broken run from hanging the suite.
    int wait(std::chrono::seconds guard = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Sends `signal` to the process while it runs.
    void signal(int signal) const {
        if (pid_ > 0) {
            ::kill(pid_, signal);
        }
    }

    std::string standardOutput() const { return read(workDir_ + "/stdout.txt"); }
    std::string standardError() const { return read(workDir_ + "/stderr.txt"); }

    static std::string read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::string workDir_;
    pid_t pid_ = 0;
};
