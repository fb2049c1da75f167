// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
#pragma once

#include <string>

namespace sorvane::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole-file helpers for tests.
std::string read_all(const std::string& path);
void write_all(const std::string& path, const std::string& data);

}  // namespace sorvane::test
