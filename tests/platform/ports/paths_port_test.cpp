// The paths port: the known folders and the path helpers.
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace sorvane::platform {
namespace {

TEST(Paths, KnownFoldersAndWorkingDirectory) {
    auto paths = make_system_paths();
    std::string local, program, cwd;
    ASSERT_TRUE(paths->local_app_data(local));
    EXPECT_FALSE(local.empty());
    ASSERT_TRUE(paths->program_data(program));
    EXPECT_FALSE(program.empty());
    ASSERT_TRUE(paths->working_directory(cwd));
    EXPECT_EQ(std::filesystem::path(cwd), std::filesystem::current_path());
}

TEST(Paths, JoinAndSplit) {
    const std::string sep(1, path_separator());
    EXPECT_EQ(join_path("a", "b"), "a" + sep + "b");
    EXPECT_EQ(join_path("a/", "b"), "a/b");
    EXPECT_EQ(join_path("a\\", "b"), "a\\b");
    EXPECT_EQ(join_path("", "b"), "b");
    EXPECT_EQ(join_path("a", ""), "a");
    EXPECT_EQ(directory_part("C:\\data\\file.txt"), "C:\\data\\");
    EXPECT_EQ(directory_part("/var/x"), "/var/");
    EXPECT_EQ(directory_part("name"), "");
    EXPECT_EQ(parent_of("C:\\data\\file.txt"), "C:\\data");
    EXPECT_EQ(parent_of("/var/x"), "/var");
    EXPECT_EQ(parent_of("name"), "");
}

}  // namespace
}  // namespace sorvane::platform
