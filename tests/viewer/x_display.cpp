#include "tests/viewer/x_display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace sorvane::test {

XvfbDisplay::XvfbDisplay(unsigned width, unsigned height) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    // Xvfb writes its display number on descriptor 3 once it accepts clients.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(fds[0]);
        error_ = std::string("Xvfb did not start: ") + std::strerror(rc);
        return;
    }
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char buf[16];
    while (number.find('\n') == std::string::npos && ::poll(&p, 1, 20'000) == 1) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        error_ = "Xvfb gave no display number";
        return;
    }
    name_ = ":" + number.substr(0, number.find('\n'));
}

XvfbDisplay::~XvfbDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

RunResult XvfbDisplay::xdotool(const std::vector<std::string>& args) const {
    return run("/usr/bin/xdotool", args, {{"DISPLAY", name_}});
}

namespace {

Window find_titled(Display* d, Window w, const std::string& title) {
    char* name = nullptr;
    if (XFetchName(d, w, &name) != 0 && name != nullptr) {
        const bool match = std::strncmp(name, title.c_str(), title.size()) == 0;
        XFree(name);
        if (match) return w;
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(d, w, &root, &parent, &children, &count) != 0) {
        for (unsigned i = 0; i < count && found == 0; ++i) found = find_titled(d, children[i], title);
        if (children != nullptr) XFree(children);
    }
    return found;
}

}  // namespace

bool XvfbDisplay::request_close(const std::string& title, std::string& error) const {
    Display* d = XOpenDisplay(name_.c_str());
    if (d == nullptr) {
        error = "cannot open display " + name_;
        return false;
    }
    const Window w = find_titled(d, DefaultRootWindow(d), title);
    if (w == 0) {
        error = "no window titled " + title;
        XCloseDisplay(d);
        return false;
    }
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XCloseDisplay(d);
    return true;
}

}  // namespace sorvane::test
