#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <thread>

#include "qo_common/video/IVideoSource.h"

namespace {

// Delivers frames with the timestamps it is given.
class ScriptedSource : public ek::IVideoSource {
  public:
    using ek::IVideoSource::IVideoSource;

    void push(int64_t ts) { script_.push_back(ts); }

    void open() override {}
    void stop() override {}
    bool isFile() const override { return false; }
    bool isOnline() const override { return true; }
    std::string getInfo() const override { return "scripted"; }

  protected:
    FrameWithInfoPtr getFrameImpl() override {
        auto f = std::make_shared<FrameWithInfo>();
        if (script_.empty()) {
            f->poison = true;
            return f;
        }
        f->frame = std::make_shared<ek::pipeline::Frame>(cv::Mat(100, 200, CV_8UC3, cv::Scalar::all(0)));
        f->frame->sourceId = settings.id;
        f->frame->timestamp = script_.front();
        script_.pop_front();
        return f;
    }

  private:
    std::deque<int64_t> script_;
};

std::shared_ptr<ScriptedSource> source(int id) {
    ek::VideoSourceSettings s;
    s.id = id;
    s.desyncThresholdMs = 500;
    return std::make_shared<ScriptedSource>(s);
}

}  // namespace

TEST(IVideoSource, FillsRoiPlateWidthAndDirectionFromItsSettings) {
    ek::VideoSourceSettings s;
    s.roi = {0, 0, 500, 0, 500, 1000, 250};  // the odd last value has no partner and is ignored
    s.plateWidth = {30, 90};
    s.direction = 180;
    ScriptedSource src(s);
    src.push(1000);
    auto f = src.getFrame();
    ASSERT_EQ(f->roi.size(), 3u);
    EXPECT_EQ(f->roi[1], cv::Point(100, 0));
    EXPECT_EQ(f->roi[2], cv::Point(100, 100));
    EXPECT_EQ(f->plateWidth, (std::pair<int32_t, int32_t>{30, 90}));
    EXPECT_EQ(f->direction, 180);
}

TEST(IVideoSource, PairsOnlyPartnerFramesWithinTheDesyncThreshold) {
    auto a = source(1);
    auto b = source(2);
    a->setVideoSourcer({{2, b}});
    b->setVideoSourcer({{1, a}});

    b->push(1000);
    b->getFrame();
    struct Case {
        int64_t ts;
        bool paired;
    };
    for (const auto& c :
         std::vector<Case>{{1400, true}, {1500, true}, {1501, false}, {600, true}, {499, false}}) {
        a->push(c.ts);
        auto f = a->getFrame();
        EXPECT_EQ(f->pairs.find(2), c.paired) << c.ts;
        if (c.paired) {
            EXPECT_EQ(f->pairs.get(2)->timestamp, 1000);
        }
    }
}

TEST(IVideoSource, PartnersAreHeldWeakly) {
    auto a = source(1);
    auto b = source(2);
    a->setVideoSourcer({{2, b}});
    b->push(1000);
    b->getFrame();
    std::weak_ptr<ScriptedSource> watch = b;
    b.reset();
    EXPECT_TRUE(watch.expired());
    a->push(1000);
    EXPECT_FALSE(a->getFrame()->pairs.find(2));
}

TEST(IVideoSource, PoisonAndEmptyFramesAreNotPairedOrRecorded) {
    auto a = source(1);
    auto f = a->getFrame();
    EXPECT_TRUE(f->poison);
    ASSERT_TRUE(f->frame);
    EXPECT_EQ(a->latestFrame(), nullptr);
}

TEST(IVideoSource, PartnersReadingEachOtherConcurrentlyDoNotDeadlock) {
    auto a = source(1);
    auto b = source(2);
    a->setVideoSourcer({{2, b}});
    b->setVideoSourcer({{1, a}});
    for (int i = 0; i < 2000; ++i) {
        a->push(i);
        b->push(i);
    }
    std::thread ta([&] {
        for (int i = 0; i < 2000; ++i) {
            a->getFrame();
        }
    });
    std::thread tb([&] {
        for (int i = 0; i < 2000; ++i) {
            b->getFrame();
        }
    });
    ta.join();
    tb.join();
    EXPECT_EQ(a->latestFrame()->timestamp, 1999);
}
