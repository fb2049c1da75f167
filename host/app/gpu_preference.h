// The GPU preference on this machine's ports: the tray start-up step and the
// --gpu-pref-check command.
#pragma once

namespace sorvane {

// Tray start-up; true when the host was started again and this process must
// end with exit code 0.
bool run_gpu_preference_step(bool restarted);

// --gpu-pref-check: prints the analysis and returns the exit code.
int run_gpu_preference_check();

}  // namespace sorvane
