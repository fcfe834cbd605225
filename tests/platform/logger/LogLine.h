#pragma once

#include <cctype>
#include <optional>
#include <string>

// One line of the logger split into its parts:
// "YYYY-MM-DD HH:MM:SS.mmm [<level>] <sender>: <message>". Empty when the line has another form.
struct LogLine {
    std::string level;
    std::string sender;
    std::string message;

    static std::optional<LogLine> parse(const std::string& line) {
        const std::string stamp = "dddd-dd-dd dd:dd:dd.ddd [";
        if (line.size() < stamp.size()) {
            return std::nullopt;
        }
        for (size_t i = 0; i < stamp.size(); ++i) {
            bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
            if (stamp[i] == 'd' ? !digit : line[i] != stamp[i]) {
                return std::nullopt;
            }
        }
        size_t levelEnd = line.find("] ", stamp.size());
        size_t senderEnd = levelEnd == std::string::npos ? levelEnd : line.find(": ", levelEnd + 2);
        if (senderEnd == std::string::npos) {
            return std::nullopt;
        }
        return LogLine{line.substr(stamp.size(), levelEnd - stamp.size()),
                       line.substr(levelEnd + 2, senderEnd - levelEnd - 2), line.substr(senderEnd + 2)};
    }
};
