#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Keeps the save directories of a builder's cameras free of files older than five minutes.
//
// A save path is a prefix of file names: "/clips/cam1/" names the directory "/clips/cam1", and
// "/clips/cam1_" the files of "/clips" whose names begin with "cam1_". Only regular files directly
// in the directory (symbolic links followed) whose names begin with the prefix are removed;
// subdirectories are left alone. An empty prefix is never swept (it would be the working
// directory).
//
// The thread owns copies of everything it reads, sweeps at once and then every `period`, and ends
// promptly when the sweeper is destroyed (the destructor wakes and joins it). Each sweep of one
// directory holds `diskLock` for its whole length, so clips are never removed while a report writes
// them.
class OldFileSweeper {
  public:
    static constexpr std::chrono::seconds kMaxAge{300};
    static constexpr std::chrono::seconds kPeriod{60};

    // Starts the thread; `diskLock` must outlive the sweeper.
    OldFileSweeper(std::string builderName, std::vector<std::string> savePaths, std::mutex& diskLock,
                   std::chrono::milliseconds period = kPeriod);
    ~OldFileSweeper();
    OldFileSweeper(const OldFileSweeper&) = delete;
    OldFileSweeper& operator=(const OldFileSweeper&) = delete;

    // One sweep of one save path, under `diskLock`: removes the files older than kMaxAge (whole
    // seconds, a file exactly kMaxAge old stays) and logs each removal. A missing directory, or one
    // that is not a directory, is logged as an Error; every file-system error is logged and the
    // sweep goes on with the next file. Never throws for file-system errors.
    static void sweep(const std::string& savePath, std::mutex& diskLock);
    // The same at a given present time (tests).
    static void sweepAt(const std::string& savePath, std::mutex& diskLock,
                        std::chrono::system_clock::time_point now);

    // The directory that a save path names and the file-name prefix within it.
    struct Target {
        std::string directory;
        std::string prefix;
    };
    static Target targetOf(const std::string& savePath);

  private:
    void run();

    const std::string builderName_;
    const std::vector<std::string> savePaths_;
    std::mutex& diskLock_;
    const std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;  // last: started once everything it reads exists
};
