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

// The whole file as raw bytes (no line-end translation); empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// The bytes from `offset` to the end.
std::string ReadFileBytesFrom(const std::string& path, long long offset);
long long FileSize(const std::string& path);  // -1 when missing
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool IsDirectory(const std::string& path);
bool PathExists(const std::string& path);

}  // namespace quorvex::test
