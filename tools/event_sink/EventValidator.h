#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// A request that breaks docs/qeva-protocol.md; the text says where and why.
class ValidationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One picture of a valid event: its place in the document and its JPEG bytes.
struct ReceivedImage {
    std::string path;  // where it sits in the document, e.g. "frames[0].image"
    std::string name;  // frame_<i> or plate_<i>
    std::string jpeg;
    int width = 0;
    int height = 0;
};

// Checks an event document (and, for multipart requests, its image parts) against the protocol and
// decodes every picture, so only complete, readable events are accepted.
class EventValidator {
  public:
    // `parts` is null for an application/json request, else the multipart parts other than "event".
    // Throws ValidationError.
    std::vector<ReceivedImage> validate(const nlohmann::json& event,
                                        const std::map<std::string, std::string>* parts) const;

  private:
    struct Context;
    void checkPlate(const nlohmann::json& plate, size_t index, size_t frames, Context& ctx) const;
    void checkFrame(const nlohmann::json& frame, size_t index, Context& ctx) const;
    void checkTrigger(const nlohmann::json& trigger, const std::string& where) const;
    void checkImage(const nlohmann::json& image, const std::string& where, const std::string& name,
                    Context& ctx) const;
};
