#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringView>

#include <optional>

// How many cores a child may keep busy. A library's own guess is often the
// machine's count (too many in a container with a CPU quota) or, on some
// virtual machines, one.
namespace cpu {

// Whole cores a quota of quota µs per period µs allows (rounded up, at
// least one); nothing for no limit (a negative quota or period).
std::optional<int> coresFromQuota(qint64 quota, qint64 period);

// The tightest CPU quota among this process's control groups and their
// parents, read from the files under root ("/" on a real system): cgroup v2's
// cpu.max and v1's cpu.cfs_quota_us. Nothing when none limits it.
std::optional<int> cgroupCoreLimit(const QString& root = QStringLiteral("/"));

// The cores this process may use: the affinity mask within the cgroup quota
// on Linux, the performance cores on macOS. At least one.
int usableCores();

// The environment with OMP_NUM_THREADS and MKL_NUM_THREADS set to cores,
// unless the user set either: their choice stands.
QProcessEnvironment withThreadCount(QProcessEnvironment environment, int cores);
// The thread count a child with this environment will use: the user's
// OMP_NUM_THREADS when set, else 0 (the library's own choice).
int threadCount(const QProcessEnvironment& environment);

}  // namespace cpu
