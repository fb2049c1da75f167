// Media Foundation as the encoder sees it: the libraries, MFStartup and
// MFShutdown, the adapters over DXGI, the encoder device (Direct3D 11 with
// video support, carried by its GpuDevice) and whether its video processor
// outputs NV12, the H.264 encoder transforms (MFTEnumEx, or MFTEnum2 for one
// adapter's hardware transforms) and one activated IMFTransform behind
// IMftTransform. Media Foundation's functions are looked up in mfplat.dll when
// first needed rather than imported: Windows editions without the Media
// Feature Pack have no mfplat.dll, and the host must still start there (it
// then reports Media Foundation missing and takes another encoder).
//
// Every HRESULT is passed back as the system returned it. Input samples are
// memory buffers, or, when the transform was given a Direct3D manager (over
// the device its GpuDevice carries) and the sample is marked as a surface,
// NV12 textures of that device (a ring of four, so the transform may still
// read one while the next is written). Output samples come from the transform when it provides them,
// else from a memory buffer of the size the caller names. An asynchronous
// transform's events are delivered through one IMFAsyncCallback per request,
// which holds the transform until its callback has run.
#include <windows.h>
#include <d3d10.h>
#include <d3d11.h>
#include <dxgi1_6.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>

#include <atomic>
#include <iterator>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/mft.h"
#include "platform/win32/com.h"
#include "platform/win32/d3d11_device.h"
#include "platform/win32/display_paths.h"
#include "platform/win32/dxgi_adapters.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {
namespace {

using win32::Released;

// Attribute and property keys that mingw-w64's headers leave out.
constexpr IID kIidCodecApi = {0x901db4c7, 0x31ce, 0x41a2, {0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda}};
constexpr GUID kMftEnumAdapterLuid = {0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

struct CodecKey {
    CodecProp prop;
    GUID guid;
    bool boolean;  // VT_BOOL, else VT_UI4
};
constexpr CodecKey kCodecKeys[] = {
    {CodecProp::low_latency_mode, {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}}, true},
    {CodecProp::rate_control_mode, {0x1c0608e9, 0x370c, 0x4710, {0x8a, 0x58, 0xcb, 0x61, 0x81, 0xc4, 0x24, 0x23}}, false},
    {CodecProp::mean_bit_rate, {0xf7222374, 0x2144, 0x4815, {0xb5, 0x50, 0xa3, 0x7f, 0x8e, 0x12, 0xee, 0x52}}, false},
    {CodecProp::buffer_size, {0x0db96574, 0xb6a4, 0x4c8b, {0x81, 0x06, 0x37, 0x73, 0xde, 0x03, 0x10, 0xcd}}, false},
    {CodecProp::b_picture_count, {0x8d390aac, 0xdc5c, 0x4200, {0xb5, 0x7f, 0x81, 0x4d, 0x04, 0xba, 0xba, 0xb2}}, false},
    {CodecProp::max_num_ref_frame, {0x964829ed, 0x94f9, 0x43b4, {0xb7, 0x4d, 0xef, 0x40, 0x94, 0x4b, 0x69, 0xa0}}, false},
    {CodecProp::quality_vs_speed, {0x98332df8, 0x03cd, 0x476b, {0x89, 0xfa, 0x3f, 0x9e, 0x44, 0x2d, 0xec, 0x9f}}, false},
    {CodecProp::real_time, {0x143a0ff6, 0xa131, 0x43da, {0xb8, 0x1e, 0x98, 0xfb, 0xb8, 0xec, 0x37, 0x8e}}, true},
    {CodecProp::gop_size, {0x95f31b26, 0x95a4, 0x41aa, {0x93, 0x03, 0x24, 0x6a, 0x7f, 0xc6, 0xee, 0xf1}}, false},
    {CodecProp::force_key_frame, {0x398c1b98, 0x8353, 0x475a, {0x9e, 0xf2, 0x8f, 0x26, 0x5d, 0x26, 0x03, 0x45}}, false},
};

const CodecKey* codec_key(CodecProp prop) {
    for (const CodecKey& k : kCodecKeys) {
        if (k.prop == prop) return &k;
    }
    return nullptr;
}

const GUID& attribute_key(MftAttribute attribute) {
    switch (attribute) {
        case MftAttribute::transform_async: return MF_TRANSFORM_ASYNC;
        case MftAttribute::transform_async_unlock: return MF_TRANSFORM_ASYNC_UNLOCK;
        case MftAttribute::low_latency: return MF_LOW_LATENCY;
    }
    return MF_LOW_LATENCY;
}

// mfplat.dll's functions, looked up once and kept for the life of the process.
using MfTEnum2Fn = HRESULT(WINAPI*)(GUID, UINT32, const MFT_REGISTER_TYPE_INFO*, const MFT_REGISTER_TYPE_INFO*,
                                    IMFAttributes*, IMFActivate***, UINT32*);
struct MfApi {
    bool loaded = false;
    decltype(&MFStartup) startup = nullptr;
    decltype(&MFShutdown) shutdown = nullptr;
    decltype(&MFTEnumEx) enum_ex = nullptr;
    MfTEnum2Fn enum2 = nullptr;  // Windows 10 1703 and later
    decltype(&MFCreateAttributes) create_attributes = nullptr;
    decltype(&MFCreateMediaType) create_media_type = nullptr;
    decltype(&MFCreateSample) create_sample = nullptr;
    decltype(&MFCreateMemoryBuffer) create_memory_buffer = nullptr;
    decltype(&MFCreateDXGIDeviceManager) create_device_manager = nullptr;
    decltype(&MFCreateDXGISurfaceBuffer) create_surface_buffer = nullptr;
};

template <class F>
bool find_function(HMODULE module, const char* name, F& out) {
    out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return out != nullptr;
}

const MfApi& mf_api() {
    static const MfApi api = [] {
        MfApi a;
        HMODULE m = LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (m == nullptr) return a;
        a.loaded = find_function(m, "MFStartup", a.startup) && find_function(m, "MFShutdown", a.shutdown) &&
                   find_function(m, "MFTEnumEx", a.enum_ex) &&
                   find_function(m, "MFCreateAttributes", a.create_attributes) &&
                   find_function(m, "MFCreateMediaType", a.create_media_type) &&
                   find_function(m, "MFCreateSample", a.create_sample) &&
                   find_function(m, "MFCreateMemoryBuffer", a.create_memory_buffer);
        // Windows 8 and later; without them there is no hardware path.
        find_function(m, "MFCreateDXGIDeviceManager", a.create_device_manager);
        find_function(m, "MFCreateDXGISurfaceBuffer", a.create_surface_buffer);
        find_function(m, "MFTEnum2", a.enum2);
        return a;
    }();
    return api;
}

int32_t mf_missing() { return static_cast<int32_t>(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)); }

// Joins the multithreaded apartment on the calling thread once; the thread
// stays in it (the transforms it makes are used from it until it ends).
void join_com_once() {
    thread_local bool joined = false;
    if (joined) return;
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    joined = SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
}

uint64_t pack(uint32_t hi, uint32_t lo) { return (static_cast<uint64_t>(hi) << 32) | lo; }

// The bytes of an NV12 picture: the luma plane, then chroma at half height.
size_t nv12_size(const MftSample& sample) { return static_cast<size_t>(sample.width) * sample.height * 3 / 2; }

HRESULT adapter_by_luid(uint64_t luid, Released<IDXGIAdapter1>& adapter) {
    Released<IDXGIFactory4> factory;
    const HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory4), reinterpret_cast<void**>(&factory.p));
    if (FAILED(hr)) return hr;
    return factory.p->EnumAdapterByLuid(win32::luid_of(luid), __uuidof(IDXGIAdapter1),
                                        reinterpret_cast<void**>(&adapter.p));
}

// Media Foundation's threads use the device (and its immediate context) while
// the encoder's thread writes input textures on it.
void protect_for_threads(ID3D11Device* device) {
    Released<ID3D10Multithread> mt;
    if (SUCCEEDED(device->QueryInterface(__uuidof(ID3D10Multithread), reinterpret_cast<void**>(&mt.p)))) {
        mt.p->SetMultithreadProtected(TRUE);
    }
}

// A device with video support on the adapter, protected for use from Media
// Foundation's own threads.
HRESULT create_video_device(uint64_t luid, Released<ID3D11Device>& device) {
    Released<IDXGIAdapter1> adapter;
    HRESULT hr = adapter_by_luid(luid, adapter);
    if (FAILED(hr)) return hr;
    hr = D3D11CreateDevice(adapter.p, D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                           D3D11_CREATE_DEVICE_VIDEO_SUPPORT | D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                           D3D11_SDK_VERSION, &device.p, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    protect_for_threads(device.p);
    return S_OK;
}

// Delivers one event of an asynchronous transform. Media Foundation holds the
// callback until Invoke has run; the callback holds the event generator (the
// transform), so the transform outlives every callback still to come.
// COM interfaces have no virtual destructor; the object deletes itself on its
// last Release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class EventCallback final : public IMFAsyncCallback {
public:
    EventCallback(IMFMediaEventGenerator* generator, std::function<void(uint32_t, int32_t)> deliver)
        : generator_(generator), deliver_(std::move(deliver)) {
        generator_->AddRef();
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFAsyncCallback)) {
            *out = static_cast<IMFAsyncCallback*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(IMFAsyncResult* result) override {
        IMFMediaEvent* event = nullptr;
        const HRESULT hr = generator_->EndGetEvent(result, &event);
        if (FAILED(hr)) {
            deliver_(kMeError, static_cast<int32_t>(hr));
            return S_OK;
        }
        MediaEventType type = 0;
        HRESULT status = S_OK;
        event->GetType(&type);
        event->GetStatus(&status);
        event->Release();
        deliver_(static_cast<uint32_t>(type), static_cast<int32_t>(status));
        return S_OK;
    }

private:
    ~EventCallback() { generator_->Release(); }

    std::atomic<ULONG> refs_{1};
    IMFMediaEventGenerator* const generator_;
    const std::function<void(uint32_t, int32_t)> deliver_;
};
#pragma GCC diagnostic pop

bool same_type(const MftVideoType& a, const MftVideoType& b) {
    return a.h264 == b.h264 && a.width == b.width && a.height == b.height && a.fps_num == b.fps_num &&
           a.fps_den == b.fps_den && a.par_num == b.par_num && a.par_den == b.par_den &&
           a.interlace_mode == b.interlace_mode && a.avg_bitrate == b.avg_bitrate && a.profile == b.profile &&
           a.max_keyframe_spacing == b.max_keyframe_spacing && a.primaries == b.primaries &&
           a.yuv_matrix == b.yuv_matrix && a.transfer == b.transfer && a.nominal_range == b.nominal_range &&
           a.default_stride == b.default_stride;
}

uint32_t read_u32(IMFAttributes* a, const GUID& key) {
    UINT32 v = 0;
    return SUCCEEDED(a->GetUINT32(key, &v)) ? v : 0;
}

void read_pair(IMFAttributes* a, const GUID& key, uint32_t& hi, uint32_t& lo) {
    UINT64 v = 0;
    if (FAILED(a->GetUINT64(key, &v))) return;
    hi = static_cast<uint32_t>(v >> 32);
    lo = static_cast<uint32_t>(v);
}

MftVideoType describe_type(IMFMediaType* t) {
    MftVideoType v;
    GUID subtype{};
    v.h264 = SUCCEEDED(t->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_H264;
    read_pair(t, MF_MT_FRAME_SIZE, v.width, v.height);
    read_pair(t, MF_MT_FRAME_RATE, v.fps_num, v.fps_den);
    read_pair(t, MF_MT_PIXEL_ASPECT_RATIO, v.par_num, v.par_den);
    UINT32 interlace = 0;
    if (SUCCEEDED(t->GetUINT32(MF_MT_INTERLACE_MODE, &interlace))) v.interlace_mode = interlace;
    v.avg_bitrate = read_u32(t, MF_MT_AVG_BITRATE);
    v.profile = read_u32(t, MF_MT_MPEG2_PROFILE);
    v.max_keyframe_spacing = read_u32(t, MF_MT_MAX_KEYFRAME_SPACING);
    v.primaries = read_u32(t, MF_MT_VIDEO_PRIMARIES);
    v.yuv_matrix = read_u32(t, MF_MT_YUV_MATRIX);
    v.transfer = read_u32(t, MF_MT_TRANSFER_FUNCTION);
    v.nominal_range = read_u32(t, MF_MT_VIDEO_NOMINAL_RANGE);
    v.default_stride = read_u32(t, MF_MT_DEFAULT_STRIDE);
    return v;
}

// The media type for a description; attributes left at 0 are not set.
HRESULT make_type(const MftVideoType& v, Released<IMFMediaType>& out) {
    HRESULT hr = mf_api().create_media_type(&out.p);
    if (FAILED(hr)) return hr;
    IMFMediaType* t = out.p;
    hr = t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    if (SUCCEEDED(hr)) hr = t->SetGUID(MF_MT_SUBTYPE, v.h264 ? MFVideoFormat_H264 : MFVideoFormat_NV12);
    if (SUCCEEDED(hr)) hr = t->SetUINT64(MF_MT_FRAME_SIZE, pack(v.width, v.height));
    if (SUCCEEDED(hr)) hr = t->SetUINT64(MF_MT_FRAME_RATE, pack(v.fps_num, v.fps_den));
    if (SUCCEEDED(hr)) hr = t->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, pack(v.par_num, v.par_den));
    if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_INTERLACE_MODE, v.interlace_mode);
    const struct {
        const GUID& key;
        uint32_t value;
    } optional[] = {
        {MF_MT_AVG_BITRATE, v.avg_bitrate},        {MF_MT_MPEG2_PROFILE, v.profile},
        {MF_MT_MAX_KEYFRAME_SPACING, v.max_keyframe_spacing},
        {MF_MT_VIDEO_PRIMARIES, v.primaries},      {MF_MT_YUV_MATRIX, v.yuv_matrix},
        {MF_MT_TRANSFER_FUNCTION, v.transfer},     {MF_MT_VIDEO_NOMINAL_RANGE, v.nominal_range},
        {MF_MT_DEFAULT_STRIDE, v.default_stride},
    };
    for (const auto& o : optional) {
        if (SUCCEEDED(hr) && o.value != 0) hr = t->SetUINT32(o.key, o.value);
    }
    return hr;
}

class Win32Transform final : public IMftTransform {
public:
    // Takes its own references of both: the caller releases its own.
    Win32Transform(IMFActivate* activate, IMFTransform* transform) : activate_(activate), transform_(transform) {
        activate_->AddRef();
        transform_->AddRef();
        transform_->QueryInterface(kIidCodecApi, reinterpret_cast<void**>(&codec_));
        transform_->QueryInterface(__uuidof(IMFMediaEventGenerator), reinterpret_cast<void**>(&events_));
    }

    ~Win32Transform() override {
        release_ring();
        if (manager_ != nullptr) manager_->Release();
        if (context_ != nullptr) context_->Release();
        if (device_ != nullptr) device_->Release();
        if (available_ != nullptr) available_->Release();
        if (codec_ != nullptr) codec_->Release();
        // Shutting the transform down ends an event request still pending
        // (its callback then sees MF_E_SHUTDOWN), which lets the transform go.
        Released<IMFShutdown> shut;
        if (SUCCEEDED(transform_->QueryInterface(__uuidof(IMFShutdown), reinterpret_cast<void**>(&shut.p)))) {
            shut.p->Shutdown();
        }
        if (events_ != nullptr) events_->Release();
        transform_->Release();
        activate_->ShutdownObject();
        activate_->Release();
    }

    uint32_t get_attribute(MftAttribute attribute) override {
        Released<IMFAttributes> attrs;
        if (FAILED(transform_->GetAttributes(&attrs.p)) || attrs.p == nullptr) return 0;
        return read_u32(attrs.p, attribute_key(attribute));
    }
    int32_t set_attribute(MftAttribute attribute, uint32_t value) override {
        Released<IMFAttributes> attrs;
        HRESULT hr = transform_->GetAttributes(&attrs.p);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        if (attrs.p == nullptr) return kEPointer;
        return static_cast<int32_t>(attrs.p->SetUINT32(attribute_key(attribute), value));
    }

    int32_t set_d3d_manager(const GpuDevice& device) override {
        const MfApi& api = mf_api();
        if (api.create_device_manager == nullptr || api.create_surface_buffer == nullptr) return mf_missing();
        // The device the GpuDevice carries (the encoder device), or one made
        // here on its adapter when it carries none.
        Released<ID3D11Device> d3d;
        d3d.p = win32::d3d11_device(device);
        if (d3d.p != nullptr) {
            d3d.p->AddRef();
            protect_for_threads(d3d.p);
        } else {
            const HRESULT made = create_video_device(device.adapter.luid, d3d);
            if (FAILED(made)) return static_cast<int32_t>(made);
        }
        UINT token = 0;
        Released<IMFDXGIDeviceManager> manager;
        HRESULT hr = api.create_device_manager(&token, &manager.p);
        if (SUCCEEDED(hr)) hr = manager.p->ResetDevice(d3d.p, token);
        if (SUCCEEDED(hr)) {
            hr = transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager.p));
        }
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        std::swap(device_, d3d.p);
        std::swap(manager_, manager.p);
        if (context_ != nullptr) context_->Release();
        context_ = nullptr;
        device_->GetImmediateContext(&context_);
        release_ring();
        return kSOk;
    }

    bool has_codec_api() override { return codec_ != nullptr; }
    int32_t codec_set(CodecProp prop, uint32_t value) override {
        const CodecKey* key = codec_key(prop);
        if (codec_ == nullptr) return kENoInterface;
        if (key == nullptr) return kEInvalidArg;
        VARIANT v;
        VariantInit(&v);
        if (key->boolean) {
            v.vt = VT_BOOL;
            v.boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        } else {
            v.vt = VT_UI4;
            v.ulVal = value;
        }
        return static_cast<int32_t>(codec_->SetValue(&key->guid, &v));
    }
    int32_t codec_get(CodecProp prop, uint32_t& value) override {
        const CodecKey* key = codec_key(prop);
        if (codec_ == nullptr) return kENoInterface;
        if (key == nullptr) return kEInvalidArg;
        VARIANT v;
        VariantInit(&v);
        const HRESULT hr = codec_->GetValue(&key->guid, &v);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        int32_t status = kSOk;
        if (v.vt == VT_BOOL) {
            value = v.boolVal != VARIANT_FALSE ? 1 : 0;
        } else if (v.vt == VT_UI4 || v.vt == VT_I4 || v.vt == VT_UINT || v.vt == VT_INT) {
            value = v.ulVal;
        } else {
            status = kEInvalidArg;  // a type this port does not read
        }
        VariantClear(&v);
        return status;
    }

    int32_t set_output_type(const MftVideoType& type) override {
        // The type the transform offered goes back as it came, with the
        // attributes this description does not carry (codec data and the like).
        if (available_ != nullptr && same_type(type, available_desc_)) {
            return static_cast<int32_t>(transform_->SetOutputType(0, available_, 0));
        }
        Released<IMFMediaType> t;
        HRESULT hr = make_type(type, t);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        return static_cast<int32_t>(transform_->SetOutputType(0, t.p, 0));
    }
    int32_t get_output_available_type(uint32_t index, MftVideoType& type) override {
        Released<IMFMediaType> t;
        const HRESULT hr = transform_->GetOutputAvailableType(0, index, &t.p);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        type = describe_type(t.p);
        if (available_ != nullptr) available_->Release();
        available_ = t.p;
        available_desc_ = type;
        t.p = nullptr;
        return kSOk;
    }
    int32_t set_input_type(const MftVideoType& type) override {
        Released<IMFMediaType> t;
        HRESULT hr = make_type(type, t);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        return static_cast<int32_t>(transform_->SetInputType(0, t.p, 0));
    }
    int32_t get_output_stream_info(MftOutputStreamInfo& info) override {
        MFT_OUTPUT_STREAM_INFO i{};
        const HRESULT hr = transform_->GetOutputStreamInfo(0, &i);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        info.flags = i.dwFlags;
        info.size = i.cbSize;
        return kSOk;
    }
    int32_t process_message(MftMessage message) override {
        return static_cast<int32_t>(transform_->ProcessMessage(static_cast<MFT_MESSAGE_TYPE>(message), 0));
    }

    int32_t process_input(const MftSample& sample) override {
        const size_t need = nv12_size(sample);
        if (sample.nv12 == nullptr || sample.width == 0 || sample.height == 0 || ((sample.width | sample.height) & 1u) ||
            sample.size < need || need > 0xFFFFFFFFu) {
            return kEInvalidArg;
        }
        const MfApi& api = mf_api();
        Released<IMFMediaBuffer> buffer;
        HRESULT hr = sample.surface && device_ != nullptr ? surface_buffer(sample, buffer) : memory_buffer(sample, buffer);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        Released<IMFSample> s;
        hr = api.create_sample(&s.p);
        if (SUCCEEDED(hr)) hr = s.p->AddBuffer(buffer.p);
        if (SUCCEEDED(hr)) hr = s.p->SetSampleTime(sample.time);
        if (SUCCEEDED(hr)) hr = s.p->SetSampleDuration(sample.duration);
        if (SUCCEEDED(hr)) hr = transform_->ProcessInput(0, s.p, 0);
        return static_cast<int32_t>(hr);
    }

    int32_t process_output(uint32_t caller_buffer_size, std::vector<uint8_t>& out) override {
        const MfApi& api = mf_api();
        Released<IMFSample> supplied;
        if (caller_buffer_size != 0) {
            Released<IMFMediaBuffer> buffer;
            HRESULT hr = api.create_sample(&supplied.p);
            if (SUCCEEDED(hr)) hr = api.create_memory_buffer(caller_buffer_size, &buffer.p);
            if (SUCCEEDED(hr)) hr = supplied.p->AddBuffer(buffer.p);
            if (FAILED(hr)) return static_cast<int32_t>(hr);
        }
        MFT_OUTPUT_DATA_BUFFER data{};
        data.dwStreamID = 0;
        data.pSample = supplied.p;
        DWORD status = 0;
        const HRESULT hr = transform_->ProcessOutput(0, 1, &data, &status);
        if (data.pEvents != nullptr) data.pEvents->Release();
        // A sample the transform provided is ours to release.
        Released<IMFSample> provided;
        if (data.pSample != nullptr && data.pSample != supplied.p) provided.p = data.pSample;
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        IMFSample* result = data.pSample;
        if (result == nullptr) return kEPointer;
        Released<IMFMediaBuffer> contiguous;
        HRESULT step = result->ConvertToContiguousBuffer(&contiguous.p);
        if (FAILED(step)) return static_cast<int32_t>(step);
        BYTE* bytes = nullptr;
        DWORD length = 0;
        step = contiguous.p->Lock(&bytes, nullptr, &length);
        if (FAILED(step)) return static_cast<int32_t>(step);
        out.assign(bytes, bytes + length);
        contiguous.p->Unlock();
        return static_cast<int32_t>(hr);
    }

    bool has_event_generator() override { return events_ != nullptr; }
    int32_t begin_get_event(std::function<void(uint32_t type, int32_t status)> callback) override {
        if (events_ == nullptr) return kENoInterface;
        auto* cb = new EventCallback(events_, std::move(callback));
        const HRESULT hr = events_->BeginGetEvent(cb, nullptr);
        cb->Release();
        return static_cast<int32_t>(hr);
    }

private:
    static constexpr int32_t kEPointer = static_cast<int32_t>(0x80004003u);

    void release_ring() {
        for (ID3D11Texture2D*& t : ring_) {
            if (t != nullptr) t->Release();
            t = nullptr;
        }
    }

    HRESULT memory_buffer(const MftSample& sample, Released<IMFMediaBuffer>& out) {
        const DWORD size = static_cast<DWORD>(nv12_size(sample));
        HRESULT hr = mf_api().create_memory_buffer(size, &out.p);
        if (FAILED(hr)) return hr;
        BYTE* bytes = nullptr;
        hr = out.p->Lock(&bytes, nullptr, nullptr);
        if (FAILED(hr)) return hr;
        std::memcpy(bytes, sample.nv12, size);
        out.p->Unlock();
        return out.p->SetCurrentLength(size);
    }

    // The picture goes into the next NV12 texture of the ring on the
    // manager's device (made on first use, or again when the size changes).
    HRESULT surface_buffer(const MftSample& sample, Released<IMFMediaBuffer>& out) {
        ID3D11Texture2D*& slot = ring_[next_slot_++ % std::size(ring_)];
        if (slot != nullptr) {
            D3D11_TEXTURE2D_DESC have{};
            slot->GetDesc(&have);
            if (have.Width != sample.width || have.Height != sample.height) {
                slot->Release();
                slot = nullptr;
            }
        }
        if (slot == nullptr) {
            D3D11_TEXTURE2D_DESC d{};
            d.Width = sample.width;
            d.Height = sample.height;
            d.MipLevels = 1;
            d.ArraySize = 1;
            d.Format = DXGI_FORMAT_NV12;
            d.SampleDesc.Count = 1;
            d.Usage = D3D11_USAGE_DEFAULT;
            d.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
            const HRESULT hr = device_->CreateTexture2D(&d, nullptr, &slot);
            if (FAILED(hr)) return hr;
        }
        // Planar formats take both planes in one update: the chroma rows
        // follow the luma rows at the same pitch.
        context_->UpdateSubresource(slot, 0, nullptr, sample.nv12, sample.width, static_cast<UINT>(nv12_size(sample)));
        HRESULT hr = mf_api().create_surface_buffer(__uuidof(ID3D11Texture2D), slot, 0, FALSE, &out.p);
        if (FAILED(hr)) return hr;
        DWORD length = 0;
        Released<IMF2DBuffer> two_d;
        if (SUCCEEDED(out.p->QueryInterface(__uuidof(IMF2DBuffer), reinterpret_cast<void**>(&two_d.p)))) {
            two_d.p->GetContiguousLength(&length);
        }
        if (length == 0) length = static_cast<DWORD>(nv12_size(sample));
        return out.p->SetCurrentLength(length);
    }

    IMFActivate* const activate_;
    IMFTransform* const transform_;
    ICodecAPI* codec_ = nullptr;
    IMFMediaEventGenerator* events_ = nullptr;
    IMFMediaType* available_ = nullptr;  // the last type GetOutputAvailableType gave
    MftVideoType available_desc_;
    ID3D11Device* device_ = nullptr;
    ID3D11DeviceContext* context_ = nullptr;
    IMFDXGIDeviceManager* manager_ = nullptr;
    ID3D11Texture2D* ring_[4] = {};
    size_t next_slot_ = 0;
};

class Win32MftPort final : public IMftPort {
public:
    ~Win32MftPort() override { release_listed(); }

    bool media_foundation_available(std::string& missing) override {
        const struct {
            const wchar_t* file;
            const char* name;
        } libraries[] = {{L"mfplat.dll", "mfplat.dll"}, {L"mf.dll", "mf.dll"}};
        for (const auto& lib : libraries) {
            HMODULE m = LoadLibraryExW(lib.file, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            if (m == nullptr) {
                missing = lib.name;
                return false;
            }
            FreeLibrary(m);
        }
        return true;
    }

    int32_t startup() override {
        const MfApi& api = mf_api();
        if (!api.loaded) return mf_missing();
        join_com_once();
        return static_cast<int32_t>(api.startup(MF_VERSION, MFSTARTUP_FULL));
    }
    void shutdown() override {
        const MfApi& api = mf_api();
        if (api.loaded) api.shutdown();
    }

    int32_t find_adapter(uint64_t luid, AdapterDesc& out) override {
        Released<IDXGIAdapter1> adapter;
        const HRESULT hr = adapter_by_luid(luid, adapter);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        out = win32::describe_adapter(adapter.p, adapter_index(luid));
        return kSOk;
    }

    int32_t create_encoder_device(const AdapterDesc& adapter, std::shared_ptr<GpuDevice>& out,
                                  bool& video_processor) override {
        video_processor = false;
        Released<ID3D11Device> device;
        const HRESULT hr = create_video_device(adapter.luid, device);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        // A processor that turns the desktop's BGRA into NV12 at a usual size.
        Released<ID3D11VideoDevice> video;
        if (SUCCEEDED(device.p->QueryInterface(__uuidof(ID3D11VideoDevice), reinterpret_cast<void**>(&video.p)))) {
            D3D11_VIDEO_PROCESSOR_CONTENT_DESC desc{};
            desc.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
            desc.InputFrameRate = {60, 1};
            desc.OutputFrameRate = {60, 1};
            desc.InputWidth = desc.OutputWidth = 1920;
            desc.InputHeight = desc.OutputHeight = 1080;
            desc.Usage = D3D11_VIDEO_USAGE_PLAYBACK_NORMAL;
            Released<ID3D11VideoProcessorEnumerator> processors;
            UINT support = 0;
            video_processor = SUCCEEDED(video.p->CreateVideoProcessorEnumerator(&desc, &processors.p)) &&
                              SUCCEEDED(processors.p->CheckVideoProcessorFormat(DXGI_FORMAT_NV12, &support)) &&
                              (support & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT) != 0;
        }
        out = std::make_shared<GpuDevice>();
        out->adapter = adapter;
        win32::hold_d3d11_device(*out, device.p);
        return kSOk;
    }

    std::vector<MftActivate> list_encoder_transforms(bool hardware, const uint64_t* adapter_luid) override {
        const MfApi& api = mf_api();
        if (!api.loaded) return {};
        join_com_once();
        const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
        const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
        const UINT32 flags = hardware ? MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER
                                      : MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;
        IMFActivate** found = nullptr;
        UINT32 count = 0;
        HRESULT hr = E_FAIL;
        if (hardware && adapter_luid != nullptr) {
            if (api.enum2 == nullptr) return {};
            Released<IMFAttributes> attrs;
            hr = api.create_attributes(&attrs.p, 1);
            if (SUCCEEDED(hr)) {
                const LUID luid = win32::luid_of(*adapter_luid);
                hr = attrs.p->SetBlob(kMftEnumAdapterLuid, reinterpret_cast<const UINT8*>(&luid), sizeof luid);
            }
            if (SUCCEEDED(hr)) hr = api.enum2(MFT_CATEGORY_VIDEO_ENCODER, flags, &input, &output, attrs.p, &found, &count);
        } else {
            hr = api.enum_ex(MFT_CATEGORY_VIDEO_ENCODER, flags, &input, &output, &found, &count);
        }
        if (FAILED(hr) || found == nullptr) return {};

        std::vector<MftActivate> list;
        std::lock_guard lock(mutex_);
        // Earlier listings stay valid for a while: two encoders opening at
        // once each activate from their own list.
        for (auto it = listed_.begin(); it != listed_.end() && next_id_ - it->first >= kKeptActivates;) {
            it->second->Release();
            it = listed_.erase(it);
        }
        for (UINT32 i = 0; i < count; ++i) {
            MftActivate a;
            a.friendly_name = friendly_name(found[i]);
            a.id = ++next_id_;
            listed_.emplace(a.id, found[i]);  // takes the reference the list held
            list.push_back(std::move(a));
        }
        CoTaskMemFree(found);
        return list;
    }

    int32_t activate(const MftActivate& which, std::unique_ptr<IMftTransform>& out) override {
        join_com_once();
        Released<IMFActivate> activate;
        {
            std::lock_guard lock(mutex_);
            auto it = listed_.find(which.id);
            if (it == listed_.end()) return kEInvalidArg;
            activate.p = it->second;
            activate.p->AddRef();
        }
        Released<IMFTransform> transform;
        const HRESULT hr =
            activate.p->ActivateObject(__uuidof(IMFTransform), reinterpret_cast<void**>(&transform.p));
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        out = std::make_unique<Win32Transform>(activate.p, transform.p);
        return kSOk;
    }

private:
    // The adapter's position in the factory's enumeration (0 when it is not
    // listed there), as the other ports number adapters.
    static uint32_t adapter_index(uint64_t luid) {
        std::vector<AdapterDesc> adapters;
        win32::enum_adapters(adapters);
        for (const AdapterDesc& a : adapters) {
            if (a.luid == luid) return a.index;
        }
        return 0;
    }

    static std::string friendly_name(IMFActivate* a) {
        wchar_t* name = nullptr;
        UINT32 length = 0;
        if (FAILED(a->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length)) || name == nullptr) return {};
        std::string text = win32::narrow(std::wstring_view(name, length));
        CoTaskMemFree(name);
        return text;
    }

    void release_listed() {
        std::lock_guard lock(mutex_);
        for (auto& [id, a] : listed_) a->Release();
        listed_.clear();
    }

    static constexpr uint32_t kKeptActivates = 64;

    std::mutex mutex_;
    std::map<uint32_t, IMFActivate*> listed_;  // the recent listings, by the ids handed out
    uint32_t next_id_ = 0;
};

}  // namespace

std::unique_ptr<IMftPort> make_mft_port() { return std::make_unique<Win32MftPort>(); }

}  // namespace sorvane::platform
