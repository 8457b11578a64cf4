#include "process/CpuCores.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <sched.h>
#endif
#ifdef Q_OS_MACOS
#include <sys/sysctl.h>
#endif

namespace cpu {

namespace {

const QString ompVariable = QStringLiteral("OMP_NUM_THREADS");
const QString mklVariable = QStringLiteral("MKL_NUM_THREADS");

QString readSmallFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(4096)).trimmed() : QString();
}

std::optional<qint64> number(QStringView text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

// The limit a cgroup folder sets by itself: v2's "QUOTA PERIOD" ("max" for
// none) or v1's two files.
std::optional<int> folderLimit(const QString& folder)
{
    if (const QString max = readSmallFile(folder + QStringLiteral("/cpu.max")); !max.isEmpty()) {
        const QStringList fields = max.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() == 2 && fields.at(0) != QLatin1String("max")) {
            const auto quota = number(fields.at(0)), period = number(fields.at(1));
            if (quota && period)
                return coresFromQuota(*quota, *period);
        }
        return std::nullopt;
    }
    const auto quota = number(readSmallFile(folder + QStringLiteral("/cpu.cfs_quota_us")));
    const auto period = number(readSmallFile(folder + QStringLiteral("/cpu.cfs_period_us")));
    return quota && period ? coresFromQuota(*quota, *period) : std::nullopt;
}

// The tightest limit of folder and each parent up to mount.
std::optional<int> limitUpTo(const QString& mount, const QString& relative)
{
    std::optional<int> tightest;
    QString path = QDir::cleanPath(QLatin1Char('/') + relative);
    while (true) {
        if (const std::optional<int> limit = folderLimit(QDir::cleanPath(mount + path)))
            tightest = std::min(tightest.value_or(*limit), *limit);
        if (path == QLatin1String("/"))
            break;
        path = QDir::cleanPath(path + QStringLiteral("/.."));
    }
    return tightest;
}

}  // namespace

std::optional<int> coresFromQuota(qint64 quota, qint64 period)
{
    if (quota <= 0 || period <= 0)
        return std::nullopt;
    return int(std::max<qint64>(1, (quota + period - 1) / period));
}

std::optional<int> cgroupCoreLimit(const QString& root)
{
    const QString cgroups = QDir::cleanPath(root + QStringLiteral("/sys/fs/cgroup"));
    std::optional<int> tightest;
    const auto take = [&](std::optional<int> limit) {
        if (limit)
            tightest = std::min(tightest.value_or(*limit), *limit);
    };
    // Lines read "ID:CONTROLLERS:PATH"; v2's has ID 0 and no controllers.
    for (const QString& line : readSmallFile(root + QStringLiteral("/proc/self/cgroup")).split(QLatin1Char('\n'))) {
        const qsizetype first = line.indexOf(QLatin1Char(':')), second = line.indexOf(QLatin1Char(':'), first + 1);
        if (first < 0 || second < 0)
            continue;
        const QStringList controllers = line.mid(first + 1, second - first - 1).split(QLatin1Char(','));
        const QString path = line.mid(second + 1);
        if (line.left(first) == QLatin1String("0") && controllers == QStringList{QString()})
            take(limitUpTo(cgroups, path));
        else if (controllers.contains(QLatin1String("cpu")))
            for (const QString& mount : {QStringLiteral("/cpu"), QStringLiteral("/cpu,cpuacct")})
                take(limitUpTo(cgroups + mount, path));
    }
    return tightest;
}

int usableCores()
{
    int cores = QThread::idealThreadCount();
#if defined(Q_OS_LINUX)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        cores = CPU_COUNT(&set);
    if (const std::optional<int> limit = cgroupCoreLimit())
        cores = std::min(cores, *limit);
#elif defined(Q_OS_MACOS)
    // The efficiency cores would hold the performance cores back at each sync.
    int performance = 0;
    size_t size = sizeof performance;
    if (sysctlbyname("hw.perflevel0.logicalcpu", &performance, &size, nullptr, 0) == 0 && performance > 0)
        cores = performance;
#endif
    return std::max(1, cores);
}

QProcessEnvironment withThreadCount(QProcessEnvironment environment, int cores)
{
    if (environment.contains(ompVariable) || environment.contains(mklVariable))
        return environment;
    environment.insert(ompVariable, QString::number(cores));
    environment.insert(mklVariable, QString::number(cores));
    return environment;
}

int threadCount(const QProcessEnvironment& environment)
{
    const std::optional<qint64> value = number(environment.value(ompVariable).trimmed());
    return value && *value > 0 && *value < 1 << 16 ? int(*value) : 0;
}

}  // namespace cpu
