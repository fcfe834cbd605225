#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "qo_common/event_poster/QEVAEvent.h"
#include "qo_common/event_poster/QEVAPair.h"
#include "src/event_builder/Event.h"
#include "src/event_builder/LpEventBuilder.h"

// One report of the non-triggered builder: a QEVA event made from a copy of a due event, the
// image metadata of its plate detections and, per recording camera, an MP4 clip with its metadata,
// posted to the builder's destinations.
//
// Runs in a report thread of its own on its own event copy. It reads the builder's configuration,
// lane cameras and detection rings (fixed after start) and may block: in a camera's packet buffer
// and in a ring's bounded rects() while the frames of the clip interval still come, and in post()
// while a destination queue is full.
class NonTriggeredReport {
  public:
    // `builder` must outlive the report; `post` hands the finished event to the destinations.
    NonTriggeredReport(LpEventBuilder& builder, std::function<void(const QEVAPair&)> post);

    // The whole report: event, files, post. Exceptions (a failing post, a log formatting error)
    // leave it; a clip that cannot be written is logged and left out of the event instead.
    void run(const EventGroup& e) const;

    // The event without clips: header, plates with corrected text and state, crops, frames, pair
    // frames, persons frame, trigger record. Writes the image metadata files of recording cameras.
    QEVAEvent assemble(const EventGroup& e) const;

    // Writes the clip and clip metadata of every recording camera and enters them into `event`
    // (`videos`, `roi`); a camera offline since a drop still gets the clip its buffer holds. A camera
    // left without a clip gets a Warning that names the event, the camera and why.
    void writeClips(const EventGroup& e, QEVAEvent& event) const;

    // The direction of travel, -1, 0 or +1, voted by the lane cameras' configured directions.
    // Readings of cameras outside the lane are left out with a Warning.
    float motionDirection(const EventGroup& e) const;

    // Writes `document` as text indented by 4 to `path` through a unique temporary file in the same
    // directory and a rename, so concurrent writers never interleave and a reader never sees half a
    // file. False (with errno-style reason in `error`) when it cannot.
    static bool writeJsonFile(const std::string& path, const nlohmann::json& document, std::string& error);

    // The clip metadata: one element per clip frame, in clip order.
    static nlohmann::json clipMetadata(int64_t eventId, const std::vector<int64_t>& frameTimestamps,
                                       const BufferDetections::Rects& rects, int correctionTs,
                                       uint64_t& notFound);

  private:
    void addPlateDetections(const EventGroup& e, QEVAEvent& event,
                            std::shared_ptr<FrameWithInfo>& pairSource) const;
    void addPairFrames(const EventGroup& e, QEVAEvent& event,
                       const std::shared_ptr<FrameWithInfo>& pairSource) const;
    void writeImageMetadata(const EventGroup& e, const ek::IVideoSource& camera,
                            const LPREvent& reading) const;
    // False when the camera gets no clip (no packets, or the writing failed).
    bool writeClip(const EventGroup& e, ek::IVideoSource& camera, const std::string& clipGuid) const;

    LpEventBuilder& builder_;
    std::function<void(const QEVAPair&)> post_;
};
