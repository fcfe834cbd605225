// Sanitizer reports that come from inside Debian's libraries, not from our code. Link this file
// into a test that reaches them; in a build without sanitizers the two hooks are never called.
//  - GDAL, loaded by OpenCV's image codecs, takes two of its own mutexes in both orders inside
//    every cv::imencode / cv::imdecode, even in a single thread.
//  - Qt (highgui) runs a D-Bus thread and posts events between its own threads; it, D-Bus and
//    fontconfig keep caches until the process ends.
//  - FFmpeg's frame threads hand buffers over with C11 atomics that the sanitizer cannot see.
//  - oneTBB, OpenCV's thread pool (dnn forward passes), synchronises its workers the same way; the
//    layers' reads on those workers show up with only OpenCV's dnn frames on their stacks.

extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libgdal.so\n"
           "race:libQt5Core.so\n"
           "race:libQt5Gui.so\n"
           "race:libQt5DBus.so\n"
           "race:libdbus-1.so\n"
           "race:libfontconfig.so\n"
           "race:libavcodec.so\n"
           "race:libavutil.so\n"
           "race:libavformat.so\n"
           "race:libswscale.so\n"
           "race:libtbb.so\n"
           "race:libopencv_dnn.so\n";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n"
           "leak:libQt5Core.so\n"
           "leak:libQt5Gui.so\n";
}
