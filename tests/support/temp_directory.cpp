#include "support/temp_directory.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace quorvex::test {

namespace {

void RemoveTree(const std::string& directory)
{
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = directory + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileA(child.c_str());
            }
        } while (::FindNextFileA(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryA(directory.c_str());
}

}  // namespace

TempDirectory::TempDirectory()
{
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, base);
    for (;;) {
        char name[64] = {};
        std::snprintf(name, sizeof(name), "qvtest-%lu-%u", ::GetCurrentProcessId(), counter.fetch_add(1));
        path_ = std::string(base) + name;
        if (::CreateDirectoryA(path_.c_str(), nullptr)) break;
    }
}

TempDirectory::~TempDirectory() { RemoveTree(path_); }

std::string ReadFileBytes(const std::string& path) { return ReadFileBytesFrom(path, 0); }

std::string ReadFileBytesFrom(const std::string& path, long long offset)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    in.seekg(offset);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

bool IsDirectory(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace quorvex::test
