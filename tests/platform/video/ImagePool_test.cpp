#include <gtest/gtest.h>

#include "platform/video/ImagePool.h"

using ek::video::ImagePool;

TEST(ImagePool, ReusesABufferOnlyOnceNobodyHoldsIt) {
    ImagePool pool(1 << 20);
    cv::Mat first = pool.take(10, 10, CV_8UC3);
    cv::Mat second = pool.take(10, 10, CV_8UC3);
    EXPECT_NE(first.data, second.data);  // first is still held
    const uchar* released = first.data;
    first.release();
    cv::Mat third = pool.take(10, 10, CV_8UC3);
    EXPECT_EQ(third.data, released);
}

TEST(ImagePool, AViewOrCopyOfTheImageKeepsItBusy) {
    ImagePool pool(1 << 20);
    cv::Mat image = pool.take(10, 10, CV_8UC3);
    cv::Mat view = image(cv::Rect(0, 0, 5, 5));
    const uchar* data = image.data;
    image.release();
    EXPECT_NE(pool.take(10, 10, CV_8UC3).data, data);
}

TEST(ImagePool, KeepsNoMoreThanItsBytesAndDropsOtherSizes) {
    ImagePool pool(2 * 300);  // two 10x10x3 images
    cv::Mat a = pool.take(10, 10, CV_8UC3);
    cv::Mat b = pool.take(10, 10, CV_8UC3);
    cv::Mat c = pool.take(10, 10, CV_8UC3);
    EXPECT_EQ(pool.pooled(), 2u);
    EXPECT_FALSE(c.empty());
    cv::Mat larger = pool.take(20, 10, CV_8UC3);
    EXPECT_EQ(pool.pooled(), 1u);  // the old size is dropped, the new one kept
}
