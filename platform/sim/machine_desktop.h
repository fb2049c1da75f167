// The simulated desktop of one process, following the machine it runs on:
// its adapters and displays are the machine's display topology (every active
// path a display at its position and mode), its input stack follows the
// machine's foreground process, input desktop and elevation, and input that
// Windows' rules let through reaches the desktop (pointer moves move the
// pointer duplication reports; clicks and touches going down leave marks on
// the display under the point). Keys, text and the rest of the input stack's
// journal go to the machine's input journal (<root>/input.log), which
// `sorvane-sim input` shows.
//
// The ports handed out here look at the topology before every call that
// depends on it (a stat of the model files, re-read only when one changed),
// so a monitor the driver adds appears and one it removes goes. While a
// driver is loaded they also read the machine every 250 ms, which is when the
// machine notices a driver host that ended and takes its monitors away.
// Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/duplication.h"
#include "platform/input.h"
#include "platform/sim/desktop.h"
#include "platform/sim/input_machine.h"
#include "platform/sim/input_target.h"
#include "platform/sim/machine.h"
#include "platform/touch.h"

namespace sorvane::sim {

// Where delivered input lands on a simulated desktop.
class SimDesktopInputTarget final : public IDesktopInputTarget {
public:
    explicit SimDesktopInputTarget(SimDesktop& desktop) : desktop_(desktop) {}
    void pointer_moved(int32_t x, int32_t y) override;
    void click(int32_t x, int32_t y, uint32_t button) override;
    void touch_down(int32_t x, int32_t y) override;
    void key(const DesktopKey& key) override;

private:
    SimDesktop& desktop_;
};

// The device interface path Windows gives a monitor device instance:
// "DISPLAY\SVN0001\5&..." becomes "\\?\DISPLAY#SVN0001#5&...#{e6f07b5f-...}".
std::string monitor_interface_path(const std::string& device_instance);

class MachineDesktop {
public:
    // clock: the machine's monotonic clock (CLOCK_MONOTONIC in processes).
    MachineDesktop(std::shared_ptr<Machine> machine, platform::IClock& clock);
    ~MachineDesktop();
    MachineDesktop(const MachineDesktop&) = delete;
    MachineDesktop& operator=(const MachineDesktop&) = delete;

    SimDesktop& desktop() { return desktop_; }
    // The duplication itself, for fault points in tests.
    SimDuplication& duplication() { return duplication_; }
    SimInputMachine& input() { return input_; }
    Machine& machine() { return *machine_; }

    // Follows the machine when its display, input or system model changed
    // since the last look. False (with last_error) when the machine could not
    // be read; the desktop then stays as it was.
    bool refresh();
    // Makes the desktop and the input stack show these models.
    void apply(const DisplayModel& display, const InputModel& input, bool host_elevated);

    // Ports over this desktop; each looks at the machine before it answers.
    std::unique_ptr<platform::IDuplication> make_duplication();
    std::unique_ptr<platform::IInputSink> make_input_sink();
    std::unique_ptr<platform::IForegroundInfo> make_foreground_info();
    std::unique_ptr<platform::IDesktopInfo> make_desktop_info();
    std::unique_ptr<platform::ITouchDeviceFactory> make_touch_device_factory();

    // The machine's input journal file (empty for a machine in memory).
    std::string journal_path() const;
    // Writes the desktop's drawing time so far where the benchmark asked for
    // it (see the definition); called after each acquire.
    void report_drawing();
    std::string last_error() const;

private:
    struct FileStamp {
        uint64_t ino = 0;
        int64_t mtime_ns = 0;
        int64_t size = -1;
        bool operator==(const FileStamp&) const = default;
    };
    FileStamp stamp_of(const char* model) const;
    void write_journal_line(const std::string& line);

    std::shared_ptr<Machine> machine_;
    platform::IClock& clock_;
    SimDesktop desktop_;
    SimDuplication duplication_;
    SimInputMachine input_;
    SimDesktopInputTarget target_;

    std::mutex refresh_mutex_;  // one look at a time; the four fields below
    bool looked_ = false;
    FileStamp display_stamp_, input_stamp_, system_stamp_;
    bool drivers_loaded_ = false;  // a device node had a driver host at the last read
    uint64_t next_driver_look_ms_ = 0;
    std::string applied_;  // the models last applied, as text

    mutable std::mutex mutex_;  // the fields below
    std::map<std::string, uint32_t> gdi_numbers_;  // "<adapter luid>/<target>" -> n of \\.\DISPLAYn
    uint32_t applied_foreground_ = 0;
    std::string last_error_;

    std::mutex journal_mutex_;
    int journal_fd_ = -1;
    std::atomic<uint64_t> drawing_reported_ms_{0};
};

}  // namespace sorvane::sim
