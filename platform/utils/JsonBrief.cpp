#include "qo_common/utils/JsonBrief.h"

#include <string_view>

namespace ek {
namespace {

constexpr int kMaxLevels = 3;

using nlohmann::json;

// A string as JSON text, its content first cut to `limit` bytes so that a huge string is never
// copied whole.
std::string quoted(std::string_view text, size_t limit) {
    const bool cut = text.size() > limit;
    const json value = std::string(cut ? text.substr(0, limit) : text);
    std::string out = value.dump(-1, ' ', false, json::error_handler_t::replace);
    if (cut) {
        out.insert(out.size() - 1, "...");
    }
    return out;
}

class BriefWriter {
  public:
    explicit BriefWriter(size_t budget) : budget_(budget) {}

    void write(const json& value, int level) {
        if (full()) {
            return;
        }
        switch (value.type()) {
            case json::value_t::object:
                writeObject(value, level);
                break;
            case json::value_t::array:
                writeArray(value, level);
                break;
            case json::value_t::string:
                out_ += quoted(value.get_ref<const std::string&>(), budget_);
                break;
            case json::value_t::binary:
                out_ += "<binary>";
                break;
            default:
                // Scalars: their dump neither recurses nor grows.
                out_ += value.dump();
                break;
        }
    }

    std::string take() { return std::move(out_); }

  private:
    bool full() const { return out_.size() > budget_; }

    void writeObject(const json& value, int level) {
        if (value.empty()) {
            out_ += "{}";
            return;
        }
        if (level >= kMaxLevels) {
            out_ += "{...}";
            return;
        }
        out_ += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (full()) {
                out_ += "...";
                break;
            }
            if (!first) {
                out_ += ',';
            }
            first = false;
            out_ += quoted(it.key(), budget_);
            out_ += ':';
            write(it.value(), level + 1);
        }
        out_ += '}';
    }

    void writeArray(const json& value, int level) {
        if (value.empty()) {
            out_ += "[]";
            return;
        }
        if (level >= kMaxLevels) {
            out_ += "[...]";
            return;
        }
        out_ += '[';
        bool first = true;
        for (const auto& element : value) {
            if (full()) {
                out_ += "...";
                break;
            }
            if (!first) {
                out_ += ',';
            }
            first = false;
            write(element, level + 1);
        }
        out_ += ']';
    }

    size_t budget_;
    std::string out_;
};

// Cuts to `maxChars` bytes without splitting a UTF-8 sequence.
std::string truncated(std::string text, size_t maxChars) {
    if (text.size() <= maxChars) {
        return text;
    }
    size_t cut = maxChars;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    text.resize(cut);
    return text + "...";
}

}  // namespace

std::string briefJson(const nlohmann::json& value, size_t maxChars) {
    if (value.is_null()) {
        return "null";
    }
    BriefWriter writer(maxChars);
    writer.write(value, 0);
    return std::string(value.type_name()) + " " + truncated(writer.take(), maxChars);
}

}  // namespace ek
