#pragma once
// An open stdio file, closed with its owner.

#include <cstdio>
#include <memory>

namespace ZelkorSoak {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace ZelkorSoak
