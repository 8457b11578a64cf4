#include "base/ByteCount.h"

#include <cmath>
#include <iterator>

QString formatFileByteCount(qint64 bytes)
{
    if (bytes == 0)
        return QStringLiteral("Zero KB");
    const bool negative = bytes < 0;
    const double magnitude = std::abs(static_cast<double>(bytes));
    const QString sign = negative ? QStringLiteral("-") : QString();
    if (magnitude < 1000) {
        const qint64 n = static_cast<qint64>(magnitude);
        return sign + QString::number(n) + (n == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
    }
    // Kilobytes without decimals, megabytes with one, larger units with two;
    // a value that rounds up to 1000 moves on to the next unit.
    static const struct {
        const char* name;
        int decimals;
    } units[] = {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}};
    double value = magnitude / 1000.0;
    std::size_t unit = 0;
    for (;;) {
        const double scale = std::pow(10.0, units[unit].decimals);
        const double rounded = std::round(value * scale) / scale;
        if (rounded < 1000.0 || unit + 1 == std::size(units)) {
            QString number = QString::number(rounded, 'f', units[unit].decimals);
            if (number.contains(QLatin1Char('.'))) {
                while (number.endsWith(QLatin1Char('0')))
                    number.chop(1);
                if (number.endsWith(QLatin1Char('.')))
                    number.chop(1);
            }
            return sign + number + QLatin1Char(' ') + QLatin1String(units[unit].name);
        }
        value /= 1000.0;
        ++unit;
    }
}
