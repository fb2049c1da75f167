// Registry port: the values the system keeps under HKLM (64-bit view) and
// HKCU. Key paths use backslashes ("SOFTWARE\Sorvane\VDD"); names compare
// without regard to ASCII case and keep the case they were created with.
// Every call returns a Win32 error code (0 on success, 2 when the key or value
// is missing, 5 when access is denied).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::platform {

enum class RegistryHive { local_machine, current_user };

inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

// A value as stored: its type and raw bytes (REG_SZ and REG_MULTI_SZ as
// UTF-16LE with their terminating NULs, REG_DWORD as four little-endian bytes).
struct RegistryValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    bool operator==(const RegistryValue&) const = default;
};

class IRegistry {
public:
    virtual ~IRegistry() = default;

    virtual uint32_t get_value(RegistryHive hive, std::string_view key, std::string_view name,
                               RegistryValue& out) = 0;
    // Creates the key and its missing parents, then writes the value.
    virtual uint32_t set_value(RegistryHive hive, std::string_view key, std::string_view name,
                               const RegistryValue& value) = 0;
    virtual uint32_t delete_value(RegistryHive hive, std::string_view key, std::string_view name) = 0;
    // Creates the key and its missing parents; succeeds when it exists.
    virtual uint32_t create_key(RegistryHive hive, std::string_view key) = 0;
    // Removes the key with all its subkeys and values (2 when it is missing).
    virtual uint32_t delete_tree(RegistryHive hive, std::string_view key) = 0;
    // Names of the key's direct subkeys and of its values.
    virtual uint32_t list_subkeys(RegistryHive hive, std::string_view key, std::vector<std::string>& out) = 0;
    virtual uint32_t list_values(RegistryHive hive, std::string_view key, std::vector<std::string>& out) = 0;
};

// The machine's registry (HKLM through its 64-bit view).
std::unique_ptr<IRegistry> make_system_registry();

// UTF-8 <-> UTF-16LE bytes (no terminator added or expected). Invalid UTF-8
// becomes U+FFFD; unpaired surrogates in UTF-16 do too.
std::vector<uint8_t> utf8_to_utf16le(std::string_view s);
std::string utf16le_to_utf8(const uint8_t* data, size_t n);

// Value builders: REG_SZ (text + one NUL), REG_MULTI_SZ (each string + NUL,
// then one more NUL), REG_DWORD.
RegistryValue reg_sz(std::string_view text);
RegistryValue reg_multi_sz(const std::vector<std::string>& items);
RegistryValue reg_dword(uint32_t v);

// Readers: false when the value is of another type. read_sz stops at the
// first NUL; read_multi_sz stops at the first empty string.
bool read_sz(const RegistryValue& v, std::string& out);
bool read_multi_sz(const RegistryValue& v, std::vector<std::string>& out);
bool read_dword(const RegistryValue& v, uint32_t& out);

// Reads a REG_SZ value; anything else (missing, other type) gives false.
bool registry_read_sz(IRegistry& reg, RegistryHive hive, std::string_view key, std::string_view name,
                      std::string& out);

}  // namespace sorvane::platform
