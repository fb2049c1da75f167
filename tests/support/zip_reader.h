// Reads a ZIP archive with libzip, an implementation independent of ours,
// checking every entry's CRC. Header-only: the test that includes it links
// libzip.
#pragma once

#include <zip.h>

#include <string>
#include <utility>
#include <vector>

namespace sorvane::test {

struct ZipEntry {
    std::string name;
    std::string data;
};

// The entries in archive order; false with the reason in error when libzip
// refuses the archive or an entry.
inline bool read_zip(const std::string& path, std::vector<ZipEntry>& entries, std::string& error) {
    entries.clear();
    int code = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (za == nullptr) {
        zip_error_t e;
        zip_error_init_with_code(&e, code);
        error = std::string("zip_open: ") + zip_error_strerror(&e);
        zip_error_fini(&e);
        return false;
    }
    bool ok = true;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n && ok; ++i) {
        zip_stat_t st;
        zip_file_t* f = nullptr;
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0 ||
            (f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0)) == nullptr) {
            error = std::string("entry: ") + zip_strerror(za);
            ok = false;
            break;
        }
        ZipEntry e{st.name, std::string(static_cast<size_t>(st.size), '\0')};
        // Reading past the end makes libzip compare the CRC.
        std::string extra(1, '\0');
        const zip_int64_t got = zip_fread(f, e.data.data(), st.size);
        const zip_int64_t more = zip_fread(f, extra.data(), 1);
        if (got != static_cast<zip_int64_t>(st.size) || more != 0) {
            error = e.name + ": " + zip_file_strerror(f);
            ok = false;
        }
        zip_fclose(f);
        entries.push_back(std::move(e));
    }
    zip_discard(za);
    return ok;
}

}  // namespace sorvane::test
