// The file port: atomic writes, moves that never replace, bounded reads,
// folders and the append stream, with UTF-8 names.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/paths.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

std::string read_all(const std::string& path) {
    std::string out;
    EXPECT_TRUE(read_file(path, 1 << 20, out).ok()) << path;
    return out;
}

TEST(Files, AtomicWriteReplacesTheWholeFileAndLeavesNothingBehind) {
    port_test::TempFolder dir;
    const std::string path = dir.file("state.json");
    ASSERT_TRUE(write_file_atomic(path, "first, the longer content").ok());
    ASSERT_TRUE(write_file_atomic(path, "second").ok());
    EXPECT_EQ(read_all(path), "second");
    ASSERT_TRUE(write_file_atomic(path, "", FileAccess::owner_only).ok());
    EXPECT_EQ(read_all(path), "");
    ASSERT_TRUE(write_file_atomic(path, "owner only", FileAccess::owner_only).ok());
    EXPECT_EQ(read_all(path), "owner only");
    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(dir.path(), names).ok());
    EXPECT_EQ(names, std::vector<std::string>{"state.json"});

    // Into a folder that does not exist: reported, nothing created.
    const FileResult missing = write_file_atomic(join_path(dir.file("none"), "x"), "data");
    EXPECT_EQ(missing.status, FileStatus::not_found);
    EXPECT_FALSE(file_exists(dir.file("none")));
}

TEST(Files, MoveWithoutReplaceRefusesAnExistingTarget) {
    port_test::TempFolder dir;
    const std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
    ASSERT_TRUE(write_file_atomic(a, "A").ok());
    ASSERT_TRUE(move_file_no_replace(a, b).ok());
    EXPECT_FALSE(file_exists(a));
    EXPECT_EQ(read_all(b), "A");

    ASSERT_TRUE(write_file_atomic(c, "C").ok());
    const FileResult refused = move_file_no_replace(c, b);
    EXPECT_EQ(refused.status, FileStatus::error);
    EXPECT_NE(refused.error_code, 0);
    EXPECT_NE(describe(refused).find(std::to_string(refused.error_code)), std::string::npos);
    EXPECT_EQ(read_all(b), "A");
    EXPECT_EQ(read_all(c), "C");

    // rename_file does replace.
    ASSERT_TRUE(rename_file(c, b).ok());
    EXPECT_EQ(read_all(b), "C");
    EXPECT_EQ(move_file_no_replace(dir.file("gone"), dir.file("d")).status, FileStatus::not_found);
}

TEST(Files, BoundedReadsSizesAndErrors) {
    port_test::TempFolder dir;
    const std::string path = dir.file("ten");
    ASSERT_TRUE(write_file_atomic(path, "0123456789").ok());
    struct Case {
        size_t max;
        const char* content;
        bool truncated;
    };
    for (const Case& c : {Case{4, "0123", true}, Case{10, "0123456789", false}, Case{11, "0123456789", false}}) {
        std::string out;
        bool truncated = !c.truncated;
        ASSERT_TRUE(read_file(path, c.max, out, &truncated).ok());
        EXPECT_EQ(out, c.content);
        EXPECT_EQ(truncated, c.truncated) << c.max;
        bool cut = !c.truncated;
        ASSERT_TRUE(read_file_tail(path, c.max, out, &cut).ok());
        EXPECT_EQ(out, std::string("0123456789").substr(10 - std::min<size_t>(c.max, 10))) << c.max;
        EXPECT_EQ(cut, c.truncated) << c.max;
    }
    uint64_t size = 0;
    ASSERT_TRUE(file_size(path, size).ok());
    EXPECT_EQ(size, 10u);

    std::string out = "stale";
    EXPECT_EQ(read_file(dir.file("missing"), 10, out).status, FileStatus::not_found);
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file(join_path(dir.file("missing"), "deeper"), 10, out).status, FileStatus::not_found);
    EXPECT_EQ(read_file(dir.path(), 10, out).status, FileStatus::error);
    EXPECT_EQ(read_file_tail(dir.file("missing"), 10, out).status, FileStatus::not_found);
    EXPECT_EQ(read_file_tail(dir.path(), 10, out).status, FileStatus::error);
    EXPECT_EQ(file_size(dir.path(), size).status, FileStatus::error);
    EXPECT_EQ(remove_file(dir.file("missing")).status, FileStatus::not_found);
}

TEST(Files, FoldersTreesAndUtf8Names) {
    port_test::TempFolder dir;
    const std::string deep = join_path(join_path(dir.file("Çalışma"), "ş"), "日本");
    ASSERT_TRUE(create_directories(deep, FileAccess::owner_only).ok());
    ASSERT_TRUE(create_directories(deep).ok());
    ASSERT_TRUE(create_directory(deep).ok());
    ASSERT_TRUE(write_file_atomic(join_path(deep, "é.txt"), "x").ok());
    ASSERT_TRUE(write_file_atomic(dir.file("b"), "b").ok());
    ASSERT_TRUE(create_directory(dir.file("a")).ok());
    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(deep, names).ok());
    EXPECT_EQ(names, std::vector<std::string>{"é.txt"});
    ASSERT_TRUE(list_directory(dir.path(), names).ok());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "Çalışma"}));
    // A file in the way of a folder is reported.
    EXPECT_FALSE(create_directories(join_path(dir.file("b"), "c")).ok());

    ASSERT_TRUE(remove_tree(dir.file("Çalışma")).ok());
    EXPECT_FALSE(file_exists(dir.file("Çalışma")));
    EXPECT_EQ(remove_tree(dir.file("Çalışma")).status, FileStatus::not_found);
    EXPECT_EQ(list_directory(dir.file("Çalışma"), names).status, FileStatus::not_found);
}

TEST(Files, OwnerOnlyFilesAndFolders) {
    if (port_test::under_wine()) GTEST_SKIP() << "Wine keeps no access control lists on its files";
    port_test::TempFolder dir;
    const std::string folder = join_path(dir.file("private"), "keys");
    ASSERT_TRUE(create_directories(folder, FileAccess::owner_only).ok());
    EXPECT_TRUE(port_test::owner_only(folder));
    const std::string key = join_path(folder, "user.key");
    ASSERT_TRUE(write_file_atomic(key, "k", FileAccess::owner_only).ok());
    EXPECT_TRUE(port_test::owner_only(key));
    // Rewriting keeps it private.
    ASSERT_TRUE(write_file_atomic(key, "k2", FileAccess::owner_only).ok());
    EXPECT_TRUE(port_test::owner_only(key));
}

TEST(Files, AppendStreamIsReadableWhileOpen) {
    port_test::TempFolder dir;
    const std::string path = dir.file("host.log");
    ASSERT_TRUE(write_file_atomic(path, "old\n").ok());
    auto log = open_append(path);
    ASSERT_NE(log, nullptr);
    ASSERT_TRUE(log->append("one\n"));
    ASSERT_TRUE(log->append("two\n"));
    EXPECT_EQ(read_all(path), "old\none\ntwo\n");
    auto second = open_append(path);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->append("three\n"));
    ASSERT_TRUE(log->append("four\n"));
    EXPECT_EQ(read_all(path), "old\none\ntwo\nthree\nfour\n");
    EXPECT_EQ(open_append(join_path(dir.file("none"), "x.log")), nullptr);
}

TEST(Files, OutputFileReplacesTheFileAndKeepsItsWriteTime) {
    port_test::TempFolder dir;
    const std::string path = dir.file("report.zip");
    ASSERT_TRUE(write_file_atomic(path, "an older and longer file").ok());
    FileResult r;
    auto out = create_output_file(path, r);
    ASSERT_NE(out, nullptr) << describe(r);
    ASSERT_TRUE(out->write("new "));
    ASSERT_TRUE(out->write("data"));
    ASSERT_TRUE(out->close());
    EXPECT_FALSE(out->write("after close"));
    EXPECT_EQ(read_all(path), "new data");
    int64_t written = 0;
    ASSERT_TRUE(file_write_time(path, written).ok());
    // Within a day of now: the time is in milliseconds since 1970, whatever the platform counts in.
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LT(std::llabs(now - written), 86'400'000LL);
    EXPECT_EQ(file_write_time(dir.file("missing"), written).status, FileStatus::not_found);

    EXPECT_EQ(create_output_file(join_path(dir.file("none"), "x.zip"), r), nullptr);
    EXPECT_EQ(r.status, FileStatus::not_found);
    EXPECT_EQ(create_output_file(dir.path(), r), nullptr);
    EXPECT_EQ(r.status, FileStatus::error);
}

}  // namespace
}  // namespace sorvane::platform
