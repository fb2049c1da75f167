// Input ports that accept everything and keep nothing, for measuring the
// injectors alone (benchmarks and allocation checks).
#pragma once

#include <memory>

#include "host/input/monitor_rect_lookup.h"
#include "platform/input.h"
#include "platform/touch.h"

namespace sorvane::test {

class NullInputPorts final : public platform::IInputSink,
                             public platform::IForegroundInfo,
                             public platform::IDesktopInfo,
                             public platform::ITouchDeviceFactory,
                             public IMonitorRectLookup {
public:
    uint32_t send_input(std::span<const platform::InputEvent> events, uint32_t& error) override {
        error = 0;
        sent += events.size();
        return static_cast<uint32_t>(events.size());
    }
    uint32_t map_virtual_key(uint32_t code, uint32_t) override { return code & 0x7F; }
    uint32_t current_process_id() override { return 1; }
    platform::TokenQuery current_process_token() override { return {true, 0, false}; }
    uint32_t foreground_process_id() override { return 2; }
    bool query_process(uint32_t, platform::ProcessQuery& out, uint32_t&) override {
        out.token = {true, 0, false};
        out.image_path = "C:\\explorer.exe";
        return true;
    }
    platform::VirtualScreen virtual_screen() override { return {0, 0, 3840, 1080}; }
    bool input_desktop_name(std::string& out, uint32_t&) override {
        out = "Default";
        return true;
    }
    std::unique_ptr<platform::ITouchDevice> create_pointer_device(uint32_t, uint32_t, uint32_t, uint32_t&) override {
        return std::make_unique<Device>(*this);
    }
    bool monitor_rect(const MonitorRef&, DesktopRect& out) override {
        out = {1920, 0, 3840, 1080};
        return true;
    }

    size_t sent = 0;
    size_t touch_contacts = 0;

private:
    class Device final : public platform::ITouchDevice {
    public:
        explicit Device(NullInputPorts& ports) : ports_(ports) {}
        bool inject(std::span<const platform::TouchContact> contacts, uint32_t&) override {
            ports_.touch_contacts += contacts.size();
            return true;
        }

    private:
        NullInputPorts& ports_;
    };
};

}  // namespace sorvane::test
