// The registry port against the machine's registry (HKCU, a key of its own).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

constexpr uint32_t kNotFound = 2;

TEST(Registry, ValuesComeBackAsWrittenAndADeletedTreeIsGone) {
    auto reg = make_system_registry();
    const std::string root = "Software\\" + port_test::unique_name("SorvanePortTest");
    const std::string key = root + "\\Nested\\Deeper";
    const struct {
        const char* name;
        RegistryValue value;
    } values[] = {
        {"Text", reg_sz("ağ ekranı ✓")},
        {"Empty", reg_sz("")},
        {"List", reg_multi_sz({"bir", "iki", "üç"})},
        {"Number", reg_dword(0xFFFFFFFEu)},
        {"Bytes", RegistryValue{kRegBinary, {0, 1, 2, 0xFF}}},
    };
    for (const auto& v : values) ASSERT_EQ(reg->set_value(RegistryHive::current_user, key, v.name, v.value), 0u) << v.name;
    for (const auto& v : values) {
        RegistryValue got;
        // Names compare without regard to case.
        std::string upper = v.name;
        for (char& ch : upper) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
        EXPECT_EQ(reg->get_value(RegistryHive::current_user, key, upper, got), 0u) << v.name;
        EXPECT_EQ(got, v.value) << v.name;
    }
    std::vector<std::string> names;
    ASSERT_EQ(reg->list_values(RegistryHive::current_user, key, names), 0u);
    EXPECT_EQ(names.size(), std::size(values));
    ASSERT_EQ(reg->list_subkeys(RegistryHive::current_user, root, names), 0u);
    EXPECT_EQ(names, std::vector<std::string>{"Nested"});

    EXPECT_EQ(reg->delete_value(RegistryHive::current_user, key, "Text"), 0u);
    RegistryValue gone;
    EXPECT_EQ(reg->get_value(RegistryHive::current_user, key, "Text", gone), kNotFound);
    EXPECT_EQ(reg->delete_tree(RegistryHive::current_user, root), 0u);
    EXPECT_EQ(reg->get_value(RegistryHive::current_user, key, "Number", gone), kNotFound);
    EXPECT_EQ(reg->delete_tree(RegistryHive::current_user, root), kNotFound);
}

}  // namespace
}  // namespace sorvane::platform
