// Placement and restore on the simulated machine's display topology.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/layout/placement.h"
#include "platform/sim/display_config_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"

namespace sorvane::layout {
namespace {

using sim::DisplayMode;
using sim::SimTarget;

struct Phys {
    DisplayMode mode;
    int32_t x, y;
    uint32_t rotation;
};

class Desk {
public:
    explicit Desk(const std::vector<Phys>& monitors) : machine(std::make_shared<sim::Machine>()) {
        sim::MachineSetup setup;
        setup.monitors.clear();
        for (const auto& m : monitors) setup.monitors.push_back(m.mode);
        EXPECT_TRUE(machine->initialize(setup));
        machine->update("arrange", [&](sim::MachineState& s) {
            size_t i = 0;
            for (auto& t : s.display.targets) {
                t.x = monitors[i].x;
                t.y = monitors[i].y;
                t.rotation = monitors[i].rotation;
                t.primary = t.x == 0 && t.y == 0;
                ++i;
            }
        });
        api = sim::make_sim_display_config(machine);
        config = std::make_unique<DisplayConfig>(*api);
    }

    // The monitor arrives the way the driver makes it arrive.
    DisplayId add_virtual(DisplayMode mode) {
        DisplayId id;
        machine->update("virtual monitor", [&](sim::MachineState& s) {
            const sim::SimLuid luid = s.display.add_indirect_adapter("Virtual Display Adapter");
            SimTarget t;
            t.adapter = luid;
            t.id = 257;
            t.indirect = true;
            t.device = "DISPLAY\\SVN0001\\1&2&3&UID257";
            t.monitor_key = "SVN0001/00de0000";
            t.modes = {mode, {1920, 1080, 60}};
            s.display.arrive(t);
            id = DisplayId{luid.low, static_cast<int32_t>(luid.high), 257};
        });
        return id;
    }
    void remove_virtual(const DisplayId& id) {
        machine->update("virtual monitor leaves", [&](sim::MachineState& s) {
            s.display.depart(sim::SimLuid{static_cast<uint32_t>(id.luid_high), id.luid_low}, id.target_id);
        });
    }

    // Every physical path, as the machine keeps it.
    std::string physical_dump() {
        std::string out;
        machine->read([&](const sim::MachineState& s) {
            for (const auto& t : s.display.targets)
                if (!t.indirect)
                    out += std::to_string(t.id) + (t.active ? " on " : " off ") + sim::mode_string(t.mode) + " " +
                           std::to_string(t.x) + "," + std::to_string(t.y) + " r" + std::to_string(t.rotation) +
                           (t.primary ? " primary" : "") + "\n";
        });
        return out;
    }

    Layout snap() {
        Layout l;
        std::string error;
        EXPECT_TRUE(config->snapshot(true, l, error)) << error;
        return l;
    }

    std::shared_ptr<sim::Machine> machine;
    std::unique_ptr<platform::IDisplayConfigApi> api;
    std::unique_ptr<DisplayConfig> config;
    sim::ManualClock clock;
};

const DisplayInfo* find(const Layout& l, const DisplayId& id) {
    for (const auto& d : l.displays)
        if (d.id == id) return &d;
    return nullptr;
}

TEST(Placement, NewMonitorGoesRightOfTheExistingDisplaysAndRemovalLeavesThemAsBefore) {
    struct Case {
        const char* name;
        std::vector<Phys> monitors;
        int32_t expected_x;
    };
    const Case cases[] = {
        {"one", {{{1920, 1080, 60}, 0, 0, 0}}, 1920},
        {"two", {{{1920, 1080, 60}, 0, 0, 0}, {{2560, 1440, 60}, 1920, 0, 0}}, 4480},
        {"three, left of primary and rotated",
         {{{1920, 1080, 60}, 0, 0, 0}, {{1280, 1024, 60}, -1280, 0, 0}, {{1920, 1080, 60}, 1920, -200, 90}},
         3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Desk desk(c.monitors);
        const std::string before = desk.physical_dump();
        const Layout snapshot = desk.snap();
        const DisplayId ours = desk.add_virtual({2560, 1600, 60});
        Placement placement(*desk.config, desk.clock);
        const AddResult r = placement.add_extended(ours, {2560, 1600, 60}, 10000, snapshot, std::nullopt);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.repairs, 0u);
        const DisplayInfo* d = find(r.final, ours);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->x, c.expected_x);
        EXPECT_EQ(d->y, 0);
        EXPECT_EQ(d->width, 2560u);
        EXPECT_FALSE(d->primary);
        EXPECT_EQ(desk.physical_dump(), before);

        // Windows shuffles the others when the monitor leaves; the base layout puts them back.
        SavedPosition rec;
        ASSERT_TRUE(record_position(desk.snap(), ours, rec));
        desk.remove_virtual(ours);
        desk.machine->update("windows rearranges", [](sim::MachineState& s) {
            for (auto& t : s.display.targets)
                if (!t.primary) t.y += 300;
        });
        DiffOptions options;
        options.ignore_ids = {ours};
        EXPECT_EQ(describe_changes(r.base, desk.snap(), options).size(), c.monitors.size() - 1);
        std::vector<DisplayId> ids;
        for (const auto& x : desk.snap().displays) ids.push_back(x.id);
        std::vector<std::string> notes;
        const Layout restored =
            restore_layout(r.base, ids, [&](const DisplayId& id) { return desk.config->target_device_path(id); }, notes);
        std::string error;
        ASSERT_EQ(desk.config->apply_layout(restored, ApplyMode::apply_and_save, error), 0) << error;
        EXPECT_TRUE(describe_changes(r.base, desk.snap(), options).empty());
        EXPECT_EQ(desk.physical_dump(), before);
        EXPECT_TRUE(notes.empty());
    }
}

TEST(Placement, RememberedPositionIsUsedWhenItFitsAndClampedToTheAnchor) {
    Desk desk({{{1920, 1080, 60}, 0, 0, 0}});
    const Layout snapshot = desk.snap();
    const std::string primary_path = snapshot.displays.at(0).device_path;
    ASSERT_FALSE(primary_path.empty());
    EXPECT_EQ(saved_position_text({primary_path, 'B', 100}), "SIM1001 (capanin altinda), kaydirma 100");

    std::pair<int32_t, int32_t> at;
    std::string error;
    ASSERT_TRUE(resolve_position(snapshot, {primary_path, 'R', 2000}, 1920, 1080, at, error)) << error;
    EXPECT_EQ(at, std::make_pair(1920, 1079));
    ASSERT_TRUE(resolve_position(snapshot, {primary_path, 'L', -5000}, 1920, 1080, at, error)) << error;
    EXPECT_EQ(at, std::make_pair(-1920, -1079));
    EXPECT_FALSE(resolve_position(snapshot, {"\\\\?\\gone#x#y", 'B', 0}, 800, 600, at, error));
    EXPECT_EQ(error, "the anchor display is not active");

    ASSERT_TRUE(resolve_position(snapshot, {primary_path, 'B', 100}, 2560, 1600, at, error)) << error;
    const DisplayId ours = desk.add_virtual({2560, 1600, 60});
    Placement placement(*desk.config, desk.clock);
    const AddResult r = placement.add_extended(ours, {2560, 1600, 60}, 10000, snapshot, at);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.placed_at_saved);
    const DisplayInfo* d = find(r.final, ours);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::make_pair(d->x, d->y), std::make_pair(100, 1080));
    SavedPosition rec;
    ASSERT_TRUE(record_position(desk.snap(), ours, rec));
    EXPECT_EQ(rec, (SavedPosition{primary_path, 'B', 100}));
}

TEST(Placement, RepairsWhenWindowsMovesAnotherDisplayAndGivesUpAfterTwo) {
    for (const uint64_t drifts : {1u, 2u}) {
        SCOPED_TRACE(drifts);
        Desk desk({{{1920, 1080, 60}, 0, 0, 0}, {{2560, 1440, 60}, -2560, 0, 0}});
        const std::string before = desk.physical_dump();
        const Layout snapshot = desk.snap();
        const DisplayId ours = desk.add_virtual({2560, 1600, 60});
        desk.machine->update("arm", [&](sim::MachineState& s) { s.faults.arm("display.apply_drift", 1, 1, drifts); });
        Placement placement(*desk.config, desk.clock);
        const AddResult r = placement.add_extended(ours, {2560, 1600, 60}, 10000, snapshot, std::nullopt);
        if (drifts == 1) {
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_EQ(r.repairs, 1u);
        } else {
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.error, "layout not compliant after 2 repair attempt(s); previous layout restored");
            ASSERT_FALSE(r.issues.empty());
            EXPECT_NE(r.issues[0].find(": position (-2560,0) -> (-2560,8)"), std::string::npos) << r.issues[0];
            EXPECT_EQ(find(desk.snap(), ours), nullptr);
        }
        EXPECT_EQ(desk.physical_dump(), before);
    }
}

TEST(Placement, FirstConfigurationRefusedThenWindowsChoosesAndTargetTimeout) {
    Desk desk({{{1920, 1080, 60}, 0, 0, 0}});
    const Layout snapshot = desk.snap();
    const DisplayId ours = desk.add_virtual({2560, 1600, 60});
    desk.machine->update("arm", [](sim::MachineState& s) { s.faults.arm("display.set_config", 1, 31); });
    Placement placement(*desk.config, desk.clock);
    AddResult r = placement.add_extended(ours, {2560, 1600, 60}, 10000, snapshot, std::nullopt);
    ASSERT_TRUE(r.ok) << r.error;
    const DisplayInfo* d = find(r.final, ours);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->x, 1920);

    DisplayId missing = ours;
    missing.target_id = 999;
    const uint64_t start = desk.clock.now_ms();
    r = placement.add_extended(missing, {2560, 1600, 60}, 2000, snapshot, std::nullopt);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "target did not appear within 2000 ms");
    EXPECT_GE(desk.clock.now_ms() - start, 2000u);
}

TEST(DisplayModel, ImpossibleLayoutsAreRefusedAndIdsCompareWhole) {
    Desk desk({{{1920, 1080, 60}, 0, 0, 0}, {{1920, 1080, 60}, 1920, 0, 0}});
    Layout l = desk.snap();
    std::string error;
    Layout moved = l;
    moved.modes[moved.paths[0].source_mode_index].x = 100;  // overlaps the other, nothing at (0,0)
    EXPECT_EQ(desk.config->apply_layout(moved, ApplyMode::validate, error), platform::kDcErrorInvalidParameter);
    EXPECT_EQ(error, "SetDisplayConfig(VALIDATE) error 87");
    Layout odd = l;
    odd.modes[odd.paths[1].target_mode_index].vsync = {75, 1};  // a mode the monitor lacks
    EXPECT_EQ(desk.config->apply_layout(odd, ApplyMode::apply, error), platform::kDcErrorGenFailure);

    // The same target id on another adapter is another display.
    DisplayId other = l.displays[0].id;
    other.luid_low += 1;
    EXPECT_EQ(without_displays(l, {other}).displays.size(), 2u);
    EXPECT_EQ(without_displays(l, {l.displays[0].id}).displays.size(), 1u);

    desk.machine->update("lock", [](sim::MachineState& s) { s.display.input_desktop = "Winlogon"; });
    EXPECT_FALSE(desk.config->check_input_desktop(error));
    EXPECT_EQ(error, "input desktop is \"Winlogon\" (lock screen, a permission prompt or setup)");
}

}  // namespace
}  // namespace sorvane::layout
