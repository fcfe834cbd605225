#include "LogSink.h"

bool LogSink::fail() {
    ++failures_;
    return false;
}
