#include "src/loaders/DisplayProbe.h"

#include <X11/Xlib.h>

#include <cstdlib>

bool DisplayProbe::available(std::string& why) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    std::string qpa = platform != nullptr ? platform : "";
    std::string plugin = qpa.substr(0, qpa.find(':'));
    if (!plugin.empty() && plugin != "xcb") {
        return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        why = "DISPLAY is not set";
        return false;
    }
    // Qt's xcb plugin needs exactly this: a reachable X server that lets us in.
    Display* x = XOpenDisplay(display);
    if (x == nullptr) {
        why = std::string("cannot open the X display ") + display;
        return false;
    }
    XCloseDisplay(x);
    return true;
}
