// An X server of a test's own (Xvfb, on a display number it picks itself as
// it starts), and what a person does to a window there: xdotool moves the
// pointer, clicks and types; a close request is what a window manager sends
// when the window's close button is pressed.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace sorvane::test {

class XvfbDisplay {
public:
    XvfbDisplay(unsigned width = 1920, unsigned height = 1080);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // ":N" once the server is up; empty when it did not start (see error()).
    const std::string& name() const { return name_; }
    const std::string& error() const { return error_; }

    // xdotool with args on this display.
    RunResult xdotool(const std::vector<std::string>& args) const;
    // Asks the top-level window whose title starts with title to close
    // (WM_DELETE_WINDOW). False with error when there is no such window.
    bool request_close(const std::string& title, std::string& error) const;

private:
    int pid_ = -1;
    std::string name_;
    std::string error_;
};

}  // namespace sorvane::test
