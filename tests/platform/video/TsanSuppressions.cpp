// FFmpeg is not built with ThreadSanitizer: its frame threads hand buffers over with C11 atomics
// that the sanitizer cannot see, so every decoded frame would look like a race. Races whose stack
// passes through FFmpeg's libraries are not reported; races in our own code still are.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n"
           "race:libavutil.so\n"
           "race:libavformat.so\n"
           "race:libswscale.so\n";
}
