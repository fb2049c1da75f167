// The report's ZIP writer, read back by three readers that share no code
// with it: libzip, Python's zipfile and unzip.
#include "host/report/report_zip.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_reader.h"

namespace sorvane::hostreport {
namespace {

const platform::CivilTime kWhen{2024, 3, 5, 14, 30, 46, 0};

std::unique_ptr<platform::OutputFile> create(const std::string& path) {
    platform::FileResult r;
    auto file = platform::create_output_file(path, r);
    EXPECT_NE(file, nullptr) << platform::describe(r);
    return file;
}

TEST(ReportZip, EveryReaderReadsTheEntriesBackExactly) {
    test::TempDir dir;
    const std::string path = dir.file("rapor.zip");
    std::string binary;
    for (int i = 0; i < 768; ++i) binary += static_cast<char>(i & 0xFF);
    std::string log;
    for (int i = 0; i < 2000; ++i) log += "[+   1.000] [session 1] satir " + std::to_string(i) + "\n";
    const std::vector<test::ZipEntry> entries = {
        {"ozet.txt", "Sorvane sorun raporu (PC)\nKullan\xC4\xB1\x63\xC4\xB1: \xC5\x9F\x65n\n"},
        {"loglar/sorvane-host.log.1", log},
        {"bos.txt", ""},
        {"ikili.bin", binary},
        {"klas\xC3\xB6r/\xC5\x9F.txt", "x"},
    };
    ReportZip zip(create(path));
    for (const auto& e : entries) zip.add(e.name, e.data, kWhen);
    EXPECT_EQ(zip.entries(), entries.size());
    ASSERT_TRUE(zip.close());
    EXPECT_FALSE(zip.close());

    std::vector<test::ZipEntry> read;
    std::string error;
    ASSERT_TRUE(test::read_zip(path, read, error)) << error;
    ASSERT_EQ(read.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(read[i].name, entries[i].name);
        EXPECT_EQ(read[i].data, entries[i].data) << entries[i].name;
    }

    // Python: CRCs, the UTF-8 flag, stored entries and the entry time (two-second steps).
    const auto py = test::run("/usr/bin/python3", {"-c",
                                          "import sys, zipfile\n"
                                          "z = zipfile.ZipFile(sys.argv[1])\n"
                                          "print(z.testzip())\n"
                                          "for i in z.infolist():\n"
                                          "    print(i.filename, i.flag_bits, i.compress_type, i.date_time)\n",
                                          path});
    ASSERT_EQ(py.code, 0) << py.err;
    EXPECT_EQ(py.out,
              "None\n"
              "ozet.txt 2048 0 (2024, 3, 5, 14, 30, 46)\n"
              "loglar/sorvane-host.log.1 2048 0 (2024, 3, 5, 14, 30, 46)\n"
              "bos.txt 2048 0 (2024, 3, 5, 14, 30, 46)\n"
              "ikili.bin 2048 0 (2024, 3, 5, 14, 30, 46)\n"
              "klas\xC3\xB6r/\xC5\x9F.txt 2048 0 (2024, 3, 5, 14, 30, 46)\n");

    const auto unzip = test::run("/usr/bin/unzip", {"-t", path});
    EXPECT_EQ(unzip.code, 0) << unzip.out << unzip.err;
    EXPECT_NE(unzip.out.find("No errors detected"), std::string::npos) << unzip.out;
}

TEST(ReportZip, OneEntryIsByteForByteTheDocumentedLayout) {
    test::TempDir dir;
    const std::string path = dir.file("a.zip");
    ReportZip zip(create(path));
    zip.add("a", "hi", kWhen);
    ASSERT_TRUE(zip.close());
    const std::string bytes = test::read_all(path);
    // Local header, name, data; central header; end record (CRC-32 of "hi" is d8932aac).
    EXPECT_EQ(to_hex(bytes.data(), bytes.size()),
              "504b0304140000080000d7736558ac2a93d8020000000200000001000000616869"
              "504b01021400140000080000d7736558ac2a93d8020000000200000001000000000000000000000000000000000061"
              "504b050600000000010001002f000000210000000000");
}

// A file that accepts a number of writes, then fails.
class FailingFile final : public platform::OutputFile {
public:
    explicit FailingFile(int good_writes) : left_(good_writes) {}
    bool write(std::string_view) override { return left_-- > 0; }
    bool close() override { return true; }

private:
    int left_;
};

TEST(ReportZip, AFailedWriteOrAnUnwritableNameFailsTheArchive) {
    for (int good = 0; good <= 4; ++good) {  // each write in turn: headers, data, the directory
        ReportZip zip(std::make_unique<FailingFile>(good));
        zip.add("ozet.txt", "text", kWhen);
        zip.add("ayarlar.txt", "more", kWhen);
        EXPECT_FALSE(zip.close()) << good;
    }
    ReportZip unnamed(std::make_unique<FailingFile>(100));
    unnamed.add("", "data", kWhen);
    EXPECT_FALSE(unnamed.ok());
    EXPECT_FALSE(unnamed.close());
    ReportZip nothing(nullptr);
    EXPECT_FALSE(nothing.close());
}

}  // namespace
}  // namespace sorvane::hostreport
