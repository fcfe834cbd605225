#pragma once

#include <string>

// Tells, without touching OpenCV's highgui, whether a window can be shown. highgui on Debian is
// Qt, which aborts the whole process when it finds no display, so this must be asked first.
class DisplayProbe {
  public:
    // True when Qt is told to use a platform that needs no X server (QT_QPA_PLATFORM other than
    // "xcb", e.g. "offscreen"), or when the X display named by DISPLAY accepts a connection.
    // Otherwise false, with the reason in `why`.
    static bool available(std::string& why);
};
