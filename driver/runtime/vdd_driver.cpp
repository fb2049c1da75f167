#include "driver/runtime/vdd_driver.h"

namespace sorvane::vdd {

namespace {

void info(const std::string& text) { write_log(kLogInfo, text); }

}  // namespace

VirtualDisplayDriver::VirtualDisplayDriver(platform::IIddCx& iddcx, platform::IClock& clock,
                                           platform::IRegistry& registry, DriverOptions options)
    : iddcx_(iddcx), clock_(clock), registry_(registry), options_(std::move(options)) {}

VirtualDisplayDriver::~VirtualDisplayDriver() { unload(); }

uint32_t VirtualDisplayDriver::driver_entry() {
    info("driver starting");
    try {
        backend_ = std::make_unique<DriverBackend>(iddcx_, clock_);
        control_ = std::make_unique<ControlPlane>(*backend_, clock_);
        backend_->set_tick_hook([this] { try_start_control_pipe(); });
        try_start_control_pipe();
        maintenance_ = std::make_unique<MaintenanceThread>([this] { control_->tick(); }, clock_,
                                                           options_.maintenance_interval_ms);
        maintenance_->start();
    } catch (...) {
        info("control plane construction failed");
    }
    return 0;
}

uint32_t VirtualDisplayDriver::device_add() {
    if (!backend_) return platform::kStatusInsufficientResources;
    const uint32_t status = backend_->device_add();
    if (status != 0) return status;
    return backend_->d0_entry();
}

void VirtualDisplayDriver::try_start_control_pipe() {
    std::lock_guard<std::mutex> g(pipe_mutex_);
    if (shutting_down_ || pipe_ || !control_) return;
    if (attempts_++ % 8 != 0) return;
    try {
        const std::vector<std::string> list = read_allow_list(registry_);
        const std::string own = options_.own_sid.empty() ? platform::process_user_sid() : options_.own_sid;
        const SecurityDescriptor sd = build_security_descriptor(own, list);
        info("control pipe: allow-list has " + std::to_string(list.size()) + " configured SID(s), " +
             std::to_string(sd.rejected) + " rejected");
        PipeServerOptions po;
        po.name = options_.pipe_name;
        po.sddl = sd.sddl;
        po.idle_timeout_ms = options_.idle_timeout_ms;
        po.clock = &clock_;
        po.logger = make_line_logger(kLogDebug, "[pipe] ");
        po.logger.log([&] { return "security descriptor " + sd.sddl; });
        ControlPlane* control = control_.get();
        auto server = std::make_unique<PipeServer>(
            po, PipeHandlers{[control](uint32_t id, std::string_view r) { return control->handle_request(id, r); },
                             [control](uint32_t id) { control->on_disconnect(id); }});
        std::string error;
        if (server->start(error)) {
            pipe_ = std::move(server);
            info("control pipe started");
        } else {
            info("control pipe failed to start (will retry): " + error);
        }
    } catch (...) {
        info("control pipe start threw; will retry");
    }
}

bool VirtualDisplayDriver::pipe_running() {
    std::lock_guard<std::mutex> g(pipe_mutex_);
    return pipe_ != nullptr;
}

void VirtualDisplayDriver::unload() {
    if (unloaded_) return;
    unloaded_ = true;
    info("driver unloading");
    if (backend_) backend_->set_tick_hook(nullptr);
    {
        std::lock_guard<std::mutex> g(pipe_mutex_);
        shutting_down_ = true;
    }
    if (maintenance_) maintenance_->stop();
    maintenance_.reset();
    std::unique_ptr<PipeServer> pipe;
    {
        std::lock_guard<std::mutex> g(pipe_mutex_);
        pipe = std::move(pipe_);
    }
    if (pipe) pipe->stop();
    pipe.reset();
    control_.reset();
    backend_.reset();
}

}  // namespace sorvane::vdd
