// Console and process control: the console control handler (Ctrl+C, close,
// log-off on Windows; SIGINT, SIGTERM and SIGHUP on Linux), the terminal
// queries of the console mode.
#pragma once

#include <functional>
#include <memory>

namespace sorvane::platform {

// Control events a console process can receive.
enum class ControlEvent { interrupt, terminate, hangup };

// Must run on the main thread before any other thread exists: makes the
// control signals deliverable only to the console control handler, and makes
// writes to a closed socket or pipe report an error instead of ending the process.
void prepare_process_signals();

// The console control handler. While installed, every control event calls the
// callback on the handler's own thread. Uninstalling (or destroying) waits for
// that thread; a second uninstall is harmless.
class ConsoleControlHandler {
public:
    virtual ~ConsoleControlHandler() = default;
    virtual void uninstall() = 0;
};

std::unique_ptr<ConsoleControlHandler> install_console_control_handler(
    std::function<void(ControlEvent)> on_event);

// Console output in UTF-8 (a no-op where the console already is).
void set_console_output_utf8();

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

// Tray mode: hide and release the console window, if the process has one.
void detach_console();

}  // namespace sorvane::platform
