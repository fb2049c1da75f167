// The pipeline's capture over Desktop Duplication: finds the monitor's output
// and opens a DxgiCaptureSource on it.
#pragma once

#include "host/media/video_pipeline.h"
#include "platform/duplication.h"

namespace sorvane {

// A CaptureOpener over the duplication port (kept by reference for the
// opener's life and every capture it opens).
CaptureOpener make_dxgi_capture_opener(platform::IDuplication& duplication);

}  // namespace sorvane
