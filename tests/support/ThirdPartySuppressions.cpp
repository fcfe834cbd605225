// Sanitizer reports that come from inside Debian's libraries, not from our code. Link this file
// into a test that reaches them; in a build without sanitizers the two hooks are never called.
// The libraries are not instrumented: ThreadSanitizer sees them only through the calls it
// intercepts (malloc, free, memcpy, pthread), and their own synchronisation by C11 atomics not at
// all. Each line names the library's own function where the report has one; a top-frame match
// (race_top) cannot name it, as the top frame of such a report is the intercepted call.

extern "C" const char* __tsan_default_suppressions() {
    // GDAL, loaded by OpenCV's image codecs, takes two of its own mutexes in both orders inside
    // every cv::imencode / cv::imdecode, even in a single thread.
    return "deadlock:CPLAcquireMutex\n"
           // A free of FFmpeg's against the allocation of the same buffer (or of a frame's side
           // data) on a decoder frame thread, which handed it over by atomic reference counts.
           // Matched on the allocation: a race of ours with FFmpeg's free still shows.
           "race:av_malloc\n"
           "race:av_frame_new_side_data_from_buf\n"
           // FFmpeg's decoder teardown destroys its frame threads' mutexes. Only C libraries call
           // pthread_mutex_destroy: our std::mutex has a trivial destructor.
           "race_top:pthread_mutex_destroy\n"
           // oneTBB (OpenCV's thread pool for dnn forward passes) allocates and copies on its
           // workers, which it synchronises by atomics; dnn's layers copy blobs on those workers.
           "called_from_lib:libtbb.so\n"
           "called_from_lib:libopencv_dnn.so\n"
           // Qt (highgui's window) starts a D-Bus thread and posts events and meta-type tables
           // between its threads; glib's wakeup descriptor is written by both (glib has no symbols).
           "race:QCoreApplicationPrivate::sendPostedEvents\n"
           "race:QMetaType::unregisterConverterFunction\n"
           "race:QArrayData::allocate\n"
           "race:libglib-2.0.so\n";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n"
           "leak:libQt5Core.so\n"
           "leak:libQt5Gui.so\n";
}
