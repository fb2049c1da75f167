#include "common/text.h"
#include "platform/sim/ports.h"

namespace sorvane::sim {

namespace {

constexpr int64_t kOpened = 42;
constexpr int64_t kFileNotFound = 2;

class SimShell final : public platform::IShell {
public:
    explicit SimShell(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {}

    int64_t open(const std::string& target) override { return journal("shell open ", target); }

    int64_t show_in_folder(const std::string& path) override { return journal("shell select ", path); }

private:
    int64_t journal(const char* what, const std::string& target) {
        int64_t code = kOpened;
        // One journal line whatever the target holds.
        const bool recorded = machine_->record(what + scrub_text(target), [&](MachineState& s) {
            if (const uint32_t fault = s.fault("shell.open")) code = fault;
        });
        return recorded ? code : kFileNotFound;
    }

    std::shared_ptr<Machine> machine_;
};

}  // namespace

std::unique_ptr<platform::IShell> make_sim_shell(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimShell>(std::move(machine));
}

}  // namespace sorvane::sim
