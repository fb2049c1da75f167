// A scripted display backend for the control plane's tests: results of
// add_monitor and depart_monitor are queued per call (success when the queue
// is empty), hooks run inside the calls, and every call is recorded.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "driver/core/backend.h"

namespace sorvane::vdd::test {

class FakeBackend : public IDriverBackend {
public:
    void set_event_sink(MonitorEventSink* new_sink) override {
        std::lock_guard<std::mutex> g(mutex);
        sink = new_sink;
    }
    bool adapter_ready() override {
        std::lock_guard<std::mutex> g(mutex);
        return ready;
    }
    uint32_t adapter_error() override {
        std::lock_guard<std::mutex> g(mutex);
        return error;
    }
    OpResult add_monitor(const MonitorParams& params, Luid& os_luid, uint32_t& os_target) override {
        std::function<void(const MonitorParams&)> hook;
        OpResult result;
        {
            std::lock_guard<std::mutex> g(mutex);
            added.push_back(params);
            hook = on_add;
            if (!add_results.empty()) {
                result = add_results.front();
                add_results.pop_front();
            }
        }
        if (hook) hook(params);  // may call the sink, or throw
        if (result.ok) {
            os_luid = os_adapter;
            os_target = 100 + params.slot;
        }
        return result;
    }
    OpResult depart_monitor(uint32_t id) override {
        std::function<void(uint32_t)> hook;
        OpResult result;
        {
            std::lock_guard<std::mutex> g(mutex);
            departed.push_back(id);
            hook = on_depart;
            if (!depart_results.empty()) {
                result = depart_results.front();
                depart_results.pop_front();
            } else if (depart_fails) {
                result = OpResult::failure(0xC0000001, "IddCxMonitorDeparture");
            }
        }
        if (hook) hook(id);
        return result;
    }
    bool is_valid_render_adapter(const Luid& luid) override {
        std::lock_guard<std::mutex> g(mutex);
        return luid == valid_adapter;
    }
    OpResult set_render_preference(const Luid& luid) override {
        std::lock_guard<std::mutex> g(mutex);
        preferences.push_back(luid);
        return preference_result;
    }
    Luid actual_render_adapter() override {
        std::lock_guard<std::mutex> g(mutex);
        return actual_adapter;
    }
    std::string driver_version() override { return "SorvaneVDD-0.1.3"; }
    uint32_t iddcx_version() override { return 0x1a00; }
    void set_log_level(int level) override {
        std::lock_guard<std::mutex> g(mutex);
        log_levels.push_back(level);
    }
    void sweep() override {
        std::lock_guard<std::mutex> g(mutex);
        ++sweeps;
    }

    MonitorEventSink* current_sink() {
        std::lock_guard<std::mutex> g(mutex);
        return sink;
    }
    size_t departures() {
        std::lock_guard<std::mutex> g(mutex);
        return departed.size();
    }
    int sweep_count() {
        std::lock_guard<std::mutex> g(mutex);
        return sweeps;
    }

    std::mutex mutex;
    MonitorEventSink* sink = nullptr;
    bool ready = true;
    uint32_t error = 0;
    Luid os_adapter{0, 0x1a2b3};
    Luid valid_adapter{0, 0x5555};
    Luid actual_adapter;
    OpResult preference_result;
    bool depart_fails = false;
    std::deque<OpResult> add_results;
    std::deque<OpResult> depart_results;
    std::function<void(const MonitorParams&)> on_add;
    std::function<void(uint32_t)> on_depart;
    std::vector<MonitorParams> added;
    std::vector<uint32_t> departed;
    std::vector<Luid> preferences;
    std::vector<int> log_levels;
    int sweeps = 0;
};

}  // namespace sorvane::vdd::test
