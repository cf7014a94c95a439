#include "process/Cores.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef __linux__
#include <sched.h>
#endif

namespace orfeo {

namespace fs = std::filesystem;

namespace {

std::string ReadSmallFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Cores allowed by a quota of `quota` microseconds per `period`: a quota of 1.5 periods still lets a
// second worker run half of the time, so it counts as 2.
unsigned CoresOfQuota(double quota, double period) {
    if (!(quota > 0) || !(period > 0)) return 0;
    return static_cast<unsigned>(std::max(1.0, std::ceil(quota / period)));
}

// The limit set in one group's folder, 0 for none.
unsigned FolderLimit(const fs::path& folder, bool version2) {
    double quota = 0, period = 0;
    if (version2) {
        // "max 100000" or "150000 100000".
        std::istringstream line(ReadSmallFile(folder / "cpu.max"));
        std::string first;
        if (!(line >> first >> period) || first == "max") return 0;
        try {
            quota = std::stod(first);
        } catch (...) {
            return 0;
        }
    } else {
        std::istringstream(ReadSmallFile(folder / "cpu.cfs_quota_us")) >> quota;  // -1: no limit
        std::istringstream(ReadSmallFile(folder / "cpu.cfs_period_us")) >> period;
    }
    return CoresOfQuota(quota, period);
}

// The lowest limit from `group` up to `base`, 0 for none. A group path that the file system does not show
// (a container sees its own group as the root) contributes only the levels that are there.
unsigned LowestLimit(const fs::path& base, std::string group, bool version2) {
    unsigned lowest = 0;
    while (true) {
        const unsigned limit = FolderLimit(base / fs::path(group).relative_path(), version2);
        if (limit && (!lowest || limit < lowest)) lowest = limit;
        if (group.empty() || group == "/") break;
        const std::size_t slash = group.find_last_of('/');
        group = slash == std::string::npos ? std::string() : group.substr(0, slash);
    }
    return lowest;
}

}  // namespace

unsigned CgroupCpuLimit(const std::string& procSelfCgroup, const std::string& cgroupRoot) {
    const fs::path root(cgroupRoot);
    std::istringstream lines(procSelfCgroup);
    std::string line;
    unsigned lowest = 0;
    auto take = [&](unsigned limit) {
        if (limit && (!lowest || limit < lowest)) lowest = limit;
    };
    while (std::getline(lines, line)) {
        // "hierarchy-ID:controller-list:group path"
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            // Version 2: the unified hierarchy at the root, or under "unified" beside version 1's.
            take(LowestLimit(root, group, true));
            take(LowestLimit(root / "unified", group, true));
            continue;
        }
        std::istringstream list(controllers);
        std::string controller;
        while (std::getline(list, controller, ',')) {
            if (controller != "cpu") continue;
            take(LowestLimit(root / "cpu", group, false));
            if (controllers != "cpu") take(LowestLimit(root / controllers, group, false));
        }
    }
    return lowest;
}

unsigned AvailableCores() {
    unsigned cores = 0;
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        cores = static_cast<unsigned>(std::max(CPU_COUNT(&set), 0));
    const unsigned limit = CgroupCpuLimit(ReadSmallFile("/proc/self/cgroup"), "/sys/fs/cgroup");
    if (limit && (!cores || limit < cores)) cores = limit;
#endif
    if (cores == 0) cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

}  // namespace orfeo
