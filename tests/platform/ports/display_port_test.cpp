// The machine's displays and GPUs as the ports report them, and its power
// notifications: what this machine has, read through the same calls the
// host makes.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <d3d11.h>
#include <gtest/gtest.h>

#include "platform/display_config.h"
#include "platform/duplication.h"
#include "platform/gpu.h"
#include "platform/power.h"
#include "platform/win32/com.h"
#include "platform/win32/d3d11_device.h"
#include "platform/win32/staging_read_back.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

constexpr int32_t kDxgiErrorUnsupported = static_cast<int32_t>(0x887A0004u);

std::string hex(int32_t hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    return text;
}

TEST(DisplayConfig, TheActivePathsNameTheirSources) {
    auto dc = make_display_config();
    uint32_t paths = 0, modes = 0;
    ASSERT_EQ(dc->buffer_sizes(kQdcOnlyActivePaths, paths, modes), 0);
    std::vector<DcPathInfo> path_list;
    std::vector<DcModeInfo> mode_list;
    ASSERT_EQ(dc->query(kQdcOnlyActivePaths, paths, modes, path_list, mode_list), 0);
    if (path_list.empty() && port_test::under_wine())
        GTEST_SKIP() << "Wine without a display server has no active display path";
    ASSERT_FALSE(path_list.empty());
    for (const DcPathInfo& p : path_list) {
        EXPECT_NE(p.flags & kPathActive, 0u);
        std::string name;
        EXPECT_EQ(dc->source_name(p.source_adapter, p.source_id, name), 0);
        EXPECT_EQ(name.rfind("\\\\.\\DISPLAY", 0), 0u) << name;
        if (p.source_mode_index != kInvalidModeIndex) {
            ASSERT_LT(p.source_mode_index, mode_list.size());
            EXPECT_EQ(mode_list[p.source_mode_index].info_type, kModeInfoSource);
            EXPECT_GT(mode_list[p.source_mode_index].width, 0u);
        }
    }
    // Capacities short of the paths are refused, not cut short.
    if (paths > 1) {
        EXPECT_EQ(dc->query(kQdcOnlyActivePaths, paths - 1, modes, path_list, mode_list), kDcErrorInsufficientBuffer);
    }
}

TEST(Gpu, TheFactoryOrderListsEveryAdapterOnce) {
    auto gpus = make_system_gpu_adapters();
    std::vector<AdapterDesc> adapters;
    const int32_t listed = gpus->enum_adapters(adapters);
    if (listed == kDxgiErrorUnsupported && port_test::under_wine())
        GTEST_SKIP() << "Wine's DXGI has no adapters without a display driver (DXGI_ERROR_UNSUPPORTED)";
    ASSERT_EQ(listed, 0);
    ASSERT_FALSE(adapters.empty());  // at least the software adapter
    for (size_t i = 0; i < adapters.size(); ++i) {
        EXPECT_EQ(adapters[i].index, i);
        for (size_t j = 0; j < i; ++j) EXPECT_NE(adapters[i].luid, adapters[j].luid);
    }
    if (gpus->has_gpu_preference_order()) {
        AdapterDesc first;
        EXPECT_EQ(gpus->first_adapter_by_preference(GpuPreference::unspecified, first), 0);
        EXPECT_EQ(first.luid, adapters[0].luid);
    }
}

// The first output of the first adapter duplicated on a device of that
// adapter: the frame's image is read back whole, and the calls' failures come
// back as the system's own codes.
TEST(Duplication, TheFirstOutputIsDuplicatedAndItsImageReadBack) {
    auto port = make_duplication();
    std::unique_ptr<IOutputDuplication> duplication;
    // A device that no port made holds no Direct3D device.
    GpuDevice bare;
    EXPECT_EQ(port->duplicate_output(0, 0, bare, duplication), kEInvalidArg);
    EXPECT_FALSE(duplication);

    std::vector<AdapterDesc> adapters;
    const int32_t listed = port->enum_adapters(adapters);
    std::shared_ptr<GpuDevice> device;
    const int32_t made = port->create_device(0, device);
    if (listed == kDxgiErrorUnsupported && port_test::under_wine()) {
        EXPECT_EQ(made, listed);
        EXPECT_FALSE(device);
        GTEST_SKIP() << "Wine's DXGI has no adapters without a display driver (DXGI_ERROR_UNSUPPORTED): "
                        "no Direct3D 11 device, no duplication to read back";
    }
    if (made < 0 && port_test::under_wine()) {
        EXPECT_FALSE(device);
        GTEST_SKIP() << "Wine creates no Direct3D 11 device here (D3D11CreateDevice " << hex(made)
                     << "): no duplication to read back";
    }
    ASSERT_EQ(made, 0) << hex(made);
    ASSERT_TRUE(device && device->native);
    EXPECT_EQ(device->adapter.index, 0u);
    std::vector<OutputDesc> outputs;
    ASSERT_EQ(port->enum_outputs(0, outputs), 0);
    if (outputs.empty() && port_test::under_wine()) GTEST_SKIP() << "Wine's first adapter has no output";
    ASSERT_FALSE(outputs.empty());

    const int32_t duplicated = port->duplicate_output(0, 0, *device, duplication);
    if (duplicated == kENotImpl && port_test::under_wine()) {
        EXPECT_FALSE(duplication);
        GTEST_SKIP() << "Wine's DXGI does not duplicate outputs (DuplicateOutput answers E_NOTIMPL): no frame to read back";
    }
    ASSERT_EQ(duplicated, 0) << hex(duplicated);
    ASSERT_TRUE(duplication);
    EXPECT_EQ(port->duplicate_output(0, static_cast<uint32_t>(outputs.size()), *device, duplication),
              kDxgiErrorNotFound);

    std::unique_ptr<IOutputDuplication> live;
    ASSERT_EQ(port->duplicate_output(0, 0, *device, live), 0);
    DuplicationFrameInfo info;
    const CpuTexture* texture = nullptr;
    int32_t hr = kDxgiErrorWaitTimeout;
    for (int i = 0; i < 20 && hr == kDxgiErrorWaitTimeout; ++i) hr = live->acquire_next_frame(100, info, texture);
    ASSERT_EQ(hr, 0) << hex(hr);
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->format, kFormatBgra8);
    EXPECT_EQ(texture->width, static_cast<uint32_t>(outputs[0].right - outputs[0].left));
    EXPECT_EQ(texture->height, static_cast<uint32_t>(outputs[0].bottom - outputs[0].top));
    EXPECT_EQ(texture->pitch, texture->width * 4);
    EXPECT_EQ(texture->data.size(), static_cast<size_t>(texture->pitch) * texture->height);
    EXPECT_EQ(live->release_frame(), 0);
    EXPECT_EQ(live->release_frame(), kDxgiErrorInvalidCall);  // nothing held any more
}

// Textures read back through the staging copy, as each desktop image is:
// every row whole at any width (the mapping's rows may be longer than the
// image's), a new size on a new staging texture, nothing left of the image
// before, and a format other than BGRA refused.
TEST(Duplication, TexturesAreReadBackRowByRowAtEverySize) {
    auto port = make_duplication();
    std::shared_ptr<GpuDevice> device;
    const int32_t made = port->create_device(0, device);
    if (made < 0 && port_test::under_wine())
        GTEST_SKIP() << "Wine creates no Direct3D 11 device without a display driver (" << hex(made) << ")";
    ASSERT_EQ(made, 0) << hex(made);
    ID3D11Device* d3d = win32::d3d11_device(*device);
    ASSERT_NE(d3d, nullptr);
    win32::Released<ID3D11DeviceContext> context;
    d3d->GetImmediateContext(&context.p);

    struct Case {
        uint32_t width, height;
        DXGI_FORMAT format;
        HRESULT expected;
    };
    const Case cases[] = {{5, 3, DXGI_FORMAT_B8G8R8A8_UNORM, S_OK},
                          {67, 2, DXGI_FORMAT_B8G8R8A8_UNORM, S_OK},
                          {5, 3, DXGI_FORMAT_B8G8R8A8_UNORM, S_OK},
                          {4, 4, DXGI_FORMAT_R8_UNORM, DXGI_ERROR_UNSUPPORTED}};
    win32::StagingReadBack read_back;
    CpuTexture out;
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " format " << c.format);
        // The source rows are padded too, with bytes that must not come back.
        const uint32_t source_pitch = c.width * 4 + 12;
        std::vector<uint8_t> pixels(static_cast<size_t>(source_pitch) * c.height, 0xEE);
        for (uint32_t y = 0; y < c.height; ++y)
            for (uint32_t x = 0; x < c.width * 4; ++x) pixels[y * source_pitch + x] = static_cast<uint8_t>(x * 7 + y * 31 + i * 50);
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = c.width;
        desc.Height = c.height;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = c.format;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        const D3D11_SUBRESOURCE_DATA initial{pixels.data(), source_pitch, 0};
        win32::Released<ID3D11Texture2D> texture;
        ASSERT_EQ(d3d->CreateTexture2D(&desc, &initial, &texture.p), S_OK);

        ASSERT_EQ(read_back.read(d3d, context.p, texture.p, out), c.expected);
        if (c.expected != S_OK) continue;
        ASSERT_EQ(out.width, c.width);
        ASSERT_EQ(out.height, c.height);
        ASSERT_EQ(out.format, kFormatBgra8);
        ASSERT_EQ(out.pitch, c.width * 4);
        ASSERT_EQ(out.data.size(), static_cast<size_t>(out.pitch) * c.height);
        for (uint32_t y = 0; y < c.height; ++y) {
            EXPECT_EQ(std::vector<uint8_t>(out.row(y), out.row(y) + out.pitch),
                      std::vector<uint8_t>(&pixels[y * source_pitch], &pixels[y * source_pitch] + out.pitch))
                << "row " << y;
        }
    }
}

TEST(Power, ACallbackIsRegistered) {
    uint32_t error = 0;
    EXPECT_TRUE(power_notifications().register_callback([](uint32_t) {}, error)) << error;
    EXPECT_EQ(error, 0u);
}

}  // namespace
}  // namespace sorvane::platform
