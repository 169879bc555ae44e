#include "net/transfermeter.h"

#include <cmath>

namespace {
// The speed shown follows the last few seconds, not the whole transfer.
constexpr qint64 kWindowMs = 5000;
constexpr qint64 kLeastSpanMs = 500;
const QString kSeparator = QStringLiteral(" \u00b7 ");

QString duration(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
}
} // namespace

void TransferMeter::record(qint64 msNow, qint64 bytesDone)
{
    // A transfer that starts again (another file, a retry) starts the meter again.
    if (!samples.isEmpty() && bytesDone < samples.last().second)
        samples.clear();
    samples.append({msNow, bytesDone});
    while (samples.size() > 2 && msNow - samples.at(1).first >= kWindowMs)
        samples.removeFirst();
}

double TransferMeter::bytesPerSecond() const
{
    if (samples.size() < 2)
        return 0;
    const qint64 span = samples.last().first - samples.first().first;
    if (span < kLeastSpanMs)
        return 0;
    return double(samples.last().second - samples.first().second) * 1000.0 / double(span);
}

QString readableBytes(qint64 bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 bytes").arg(bytes);
    static const char *const units[] = {"KB", "MB", "GB", "TB"};
    double value = double(bytes);
    int unit = -1;
    while (value >= 1000 && unit < 3) {
        value /= 1000;
        ++unit;
    }
    // Three figures at most: 1.2 GB, 24.5 MB, 312 MB.
    return QStringLiteral("%1 %2").arg(value < 100 ? QString::number(value, 'f', 1)
                                                   : QString::number(qRound(value)),
                                       QLatin1String(units[unit]));
}

QString transferText(qint64 done, qint64 total, double bytesPerSecond)
{
    QString text = total > 0
                       ? QStringLiteral("%1 of %2").arg(readableBytes(done), readableBytes(total))
                       : readableBytes(done);
    if (bytesPerSecond >= 1) {
        text += kSeparator + readableBytes(qint64(bytesPerSecond)) + QStringLiteral("/s");
        if (total > done)
            text += kSeparator + duration(qint64(std::ceil((total - done) / bytesPerSecond))) +
                    QStringLiteral(" left");
    }
    return text;
}
