#pragma once

#include <string>

namespace orfeo {

// The number of cores this process may use, at least 1: its CPU affinity, lowered to the CPU limit of its
// control group (a container's), if it has one.
unsigned AvailableCores();

// The CPU limit of the control group that `procSelfCgroup` (the text of /proc/self/cgroup) names, under
// the control-group file system at `cgroupRoot`: the quota over the period, rounded up, of the lowest limit
// on the way from the group up to the root (cgroup v2's cpu.max; v1's cpu.cfs_quota_us and
// cpu.cfs_period_us in the cpu controller's folder). 0 when no limit is set or none can be read.
unsigned CgroupCpuLimit(const std::string& procSelfCgroup, const std::string& cgroupRoot);

}  // namespace orfeo
