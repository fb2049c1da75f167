// COM for one call of a port: the calling thread joins the multithreaded
// apartment for the call (an apartment it is already in serves as well), and
// interface pointers are released when they go out of scope.
#pragma once

#include <objbase.h>

namespace sorvane::platform::win32 {

class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT hr_;
};

template <class T>
struct Released {
    T* p = nullptr;
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        if (p != nullptr) p->Release();
    }
};

}  // namespace sorvane::platform::win32
