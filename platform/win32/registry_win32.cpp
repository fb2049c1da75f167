// The registry through advapi32: HKLM in its 64-bit view, HKCU as it is.
// Every call answers with the Win32 code of the call that failed.
#include <windows.h>

#include "platform/registry.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

HKEY root_of(RegistryHive hive) { return hive == RegistryHive::local_machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

REGSAM view_of(RegistryHive hive) { return hive == RegistryHive::local_machine ? KEY_WOW64_64KEY : 0; }

class Key {
public:
    Key() = default;
    ~Key() {
        if (h_ != nullptr) RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return h_; }
    HKEY* out() { return &h_; }

private:
    HKEY h_ = nullptr;
};

uint32_t open_key(RegistryHive hive, std::string_view path, REGSAM access, Key& key) {
    return static_cast<uint32_t>(
        RegOpenKeyExW(root_of(hive), win32::widen(path).c_str(), 0, access | view_of(hive), key.out()));
}

uint32_t create(RegistryHive hive, std::string_view path, REGSAM access, Key& key) {
    return static_cast<uint32_t>(RegCreateKeyExW(root_of(hive), win32::widen(path).c_str(), 0, nullptr,
                                                 REG_OPTION_NON_VOLATILE, access | view_of(hive), nullptr,
                                                 key.out(), nullptr));
}

// Enumerates names with one of the RegEnum functions, growing the buffer when
// a name does not fit.
template <class Enum>
uint32_t enumerate(Enum&& next, std::vector<std::string>& out) {
    out.clear();
    std::wstring buf(256, L'\0');
    for (DWORD i = 0;; ++i) {
        DWORD n = static_cast<DWORD>(buf.size());
        LSTATUS rc = next(i, buf.data(), &n);
        if (rc == ERROR_MORE_DATA) {
            buf.assign(32768, L'\0');  // the longest name either kind may have
            n = static_cast<DWORD>(buf.size());
            rc = next(i, buf.data(), &n);
        }
        if (rc == ERROR_NO_MORE_ITEMS) return 0;
        if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
        out.push_back(win32::narrow(std::wstring_view(buf.data(), n)));
    }
}

class Win32Registry final : public IRegistry {
public:
    uint32_t get_value(RegistryHive hive, std::string_view key, std::string_view name, RegistryValue& out) override {
        Key k;
        if (const uint32_t rc = open_key(hive, key, KEY_QUERY_VALUE, k); rc != 0) return rc;
        const std::wstring wname = win32::widen(name);
        // The value may grow between the size query and the read: try again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD type = 0;
            DWORD size = 0;
            LSTATUS rc = RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type, nullptr, &size);
            if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
            std::vector<uint8_t> data(size);
            rc = RegQueryValueExW(k.get(), wname.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(), &size);
            if (rc == ERROR_MORE_DATA) continue;
            if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
            data.resize(size);
            out.type = type;
            out.data = std::move(data);
            return 0;
        }
        return ERROR_MORE_DATA;
    }

    uint32_t set_value(RegistryHive hive, std::string_view key, std::string_view name,
                       const RegistryValue& value) override {
        Key k;
        if (const uint32_t rc = create(hive, key, KEY_SET_VALUE, k); rc != 0) return rc;
        if (value.data.size() > MAXDWORD) return ERROR_INVALID_PARAMETER;
        return static_cast<uint32_t>(RegSetValueExW(k.get(), win32::widen(name).c_str(), 0, value.type,
                                                    value.data.data(), static_cast<DWORD>(value.data.size())));
    }

    uint32_t delete_value(RegistryHive hive, std::string_view key, std::string_view name) override {
        Key k;
        if (const uint32_t rc = open_key(hive, key, KEY_SET_VALUE, k); rc != 0) return rc;
        return static_cast<uint32_t>(RegDeleteValueW(k.get(), win32::widen(name).c_str()));
    }

    uint32_t create_key(RegistryHive hive, std::string_view key) override {
        Key k;
        return create(hive, key, KEY_QUERY_VALUE, k);
    }

    uint32_t delete_tree(RegistryHive hive, std::string_view key) override {
        // RegDeleteTreeW takes no view: open the parent in the right one and
        // remove the last part below it.
        const size_t slash = key.find_last_of('\\');
        const std::string_view parent = slash == std::string_view::npos ? std::string_view() : key.substr(0, slash);
        const std::string_view leaf = slash == std::string_view::npos ? key : key.substr(slash + 1);
        if (leaf.empty()) return ERROR_INVALID_PARAMETER;
        Key p;
        if (const uint32_t rc = open_key(hive, parent, KEY_ALL_ACCESS, p); rc != 0) return rc;
        return static_cast<uint32_t>(RegDeleteTreeW(p.get(), win32::widen(leaf).c_str()));
    }

    uint32_t list_subkeys(RegistryHive hive, std::string_view key, std::vector<std::string>& out) override {
        Key k;
        if (const uint32_t rc = open_key(hive, key, KEY_ENUMERATE_SUB_KEYS, k); rc != 0) return rc;
        return enumerate(
            [&](DWORD i, wchar_t* buf, DWORD* n) {
                return RegEnumKeyExW(k.get(), i, buf, n, nullptr, nullptr, nullptr, nullptr);
            },
            out);
    }

    uint32_t list_values(RegistryHive hive, std::string_view key, std::vector<std::string>& out) override {
        Key k;
        if (const uint32_t rc = open_key(hive, key, KEY_QUERY_VALUE, k); rc != 0) return rc;
        return enumerate(
            [&](DWORD i, wchar_t* buf, DWORD* n) {
                return RegEnumValueW(k.get(), i, buf, n, nullptr, nullptr, nullptr, nullptr);
            },
            out);
    }
};

}  // namespace

std::unique_ptr<IRegistry> make_system_registry() { return std::make_unique<Win32Registry>(); }

}  // namespace sorvane::platform
