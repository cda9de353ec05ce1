// Owner of a C runtime file stream.
#pragma once

#include <cstdio>
#include <memory>

namespace quorvex {

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace quorvex
