#pragma once

#include <atomic>
#include <string>

#include "qo_common/video/IVideoSource.h"

// A video source that delivers nothing; tests set its lane, id and whether it is online.
class FakeVideoSource : public ek::IVideoSource {
  public:
    FakeVideoSource(const std::string& name, int id, int laneId, bool online = true)
        : ek::IVideoSource(makeSettings(name, id, laneId)), online(online) {}

    void open() override {}
    void stop() override { ++stops; }
    bool isFile() const override { return false; }
    bool isOnline() const override { return online; }
    std::string getInfo() const override { return "fake " + settings.name; }

    std::atomic<bool> online;
    std::atomic<int> stops{0};

  protected:
    FrameWithInfoPtr getFrameImpl() override { return FrameWithInfo::makePoison(); }

  private:
    static ek::VideoSourceSettings makeSettings(const std::string& name, int id, int laneId) {
        ek::VideoSourceSettings settings;
        settings.name = name;
        settings.id = id;
        settings.laneId = laneId;
        return settings;
    }
};
