// A fresh directory under the temporary folder, removed with its contents at
// the end of the test. Paths are 8-bit, like the log paths.
#pragma once

#include <string>

namespace quorvex::test {

class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const noexcept { return path_; }
    // path() + "\" + name
    std::string Child(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// The bytes from `offset` to the end, raw (no line-end translation); empty
// when the file cannot be read.
std::string ReadFileBytes(const std::string& path, long long offset = 0);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
long long FileSize(const std::string& path);  // -1 when missing
bool IsDirectory(const std::string& path);

}  // namespace quorvex::test
