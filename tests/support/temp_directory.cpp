#include "support/temp_directory.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace quorvex::test {

TempDirectory::TempDirectory()
{
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, base);
    do {
        path_ = std::string(base) + "qvtest-" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(counter.fetch_add(1));
    } while (!::CreateDirectoryA(path_.c_str(), nullptr));
}

TempDirectory::~TempDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileBytes(const std::string& path, long long offset)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : std::string();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    return static_cast<bool>(out << bytes);
}

long long FileSize(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

bool IsDirectory(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

}  // namespace quorvex::test
