#include "Resources.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace ZelkorSoak {

void Figure::Add(long value, bool first) {
    if (value < 0) {
        return;
    }
    if (first || start < 0) {
        start = value;
    }
    max = value > max ? value : max;
    end = value;
}

void Resources::Sample(pid_t pid, bool first) {
    _rss.Add(ResidentKb(pid), first);
    _descriptors.Add(OpenDescriptors(pid), first);
}

long ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

long OpenDescriptors(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return -1;
    }
    long count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

}  // namespace ZelkorSoak
