#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

// The process-wide logger interface and its printf-style front. The logger library installs
// ILog::instance once at start-up, before any other thread exists; it is read without a lock.
class ILog {
  public:
    enum Level : int { LevelError = 0, LevelWarning = 1, LevelInfo = 2, LevelDebug = 3 };

    virtual ~ILog() = default;
    // The base delivers nothing; a real logger overrides it.
    virtual bool SendLog(const std::string& message, int level, int reserved) {
        (void)message;
        (void)level;
        (void)reserved;
        return true;
    }
    virtual void PostMessage() {}

    inline static std::shared_ptr<ILog> instance;
    std::mutex mutexMessage;

    static int64_t GetCurTime();
    static std::string GetCurTimeString();

    template <typename... Args>
    static bool Error(const char* format, Args... args) {
        return send(LevelError, format, args...);
    }
    template <typename... Args>
    static bool Warning(const char* format, Args... args) {
        return send(LevelWarning, format, args...);
    }
    template <typename... Args>
    static bool Info(const char* format, Args... args) {
        return send(LevelInfo, format, args...);
    }
    template <typename... Args>
    static bool Debug(const char* format, Args... args) {
        return send(LevelDebug, format, args...);
    }

    // printf formatting sized by a first measuring pass, so any length is formatted whole.
    template <typename... Args>
    static std::string StringFormat(const char* format, Args... args) {
        int length = measure(format, args...);
        if (length < 0) {
            throw std::runtime_error("Error during formatting.");
        }
        // snprintf writes its terminating null into the string's own terminator slot.
        std::string text(static_cast<size_t>(length), '\0');
        print(text.data(), text.size() + 1, format, args...);
        return text;
    }

  private:
    // The base SendLog delivers nothing and answers true, so calling it is the same as skipping it.
    template <typename... Args>
    static bool send(int level, const char* format, Args... args) {
        auto logger = instance;
        if (!logger) {
            return false;
        }
        std::string message = StringFormat(format, args...);
        return logger->SendLog(message, level, 0);
    }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
// The buffer is sized by the measuring pass; GCC cannot see that and warns after inlining.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
    template <typename... Args>
    static int measure(const char* format, Args... args) {
        return std::snprintf(nullptr, 0, format, args...);
    }
    template <typename... Args>
    static void print(char* buffer, size_t size, const char* format, Args... args) {
        std::snprintf(buffer, size, format, args...);
    }
#pragma GCC diagnostic pop
};
