#include "net/ratelimit.h"

#include "net/transfermeter.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {
constexpr qint64 kSmallestRead = 16 * 1024;
} // namespace

RateLimiter::RateLimiter(QNetworkAccessManager *manager) : QObject(manager)
{
    clock.start();
}

RateLimiter *RateLimiter::of(QNetworkAccessManager *manager)
{
    return manager ? manager->findChild<RateLimiter *>(QString(), Qt::FindDirectChildrenOnly)
                   : nullptr;
}

void RateLimiter::setRate(qint64 rate)
{
    bytesPerSecond = std::max<qint64>(0, rate);
    capacity = std::max<qint64>(kSmallestRead, bytesPerSecond / 4);
    refill();
    tokens = std::min(tokens, double(capacity));
}

void RateLimiter::refill()
{
    const qint64 now = clock.nsecsElapsed();
    tokens = std::min(double(capacity),
                      tokens + double(now - refilledAtNs) * double(bytesPerSecond) / 1e9);
    refilledAtNs = now;
}

qint64 RateLimiter::take(qint64 wanted)
{
    if (bytesPerSecond == 0)
        return wanted;
    refill();
    const qint64 allowed = std::clamp<qint64>(qint64(tokens), 0, std::max<qint64>(0, wanted));
    tokens -= double(allowed);
    return allowed;
}

int RateLimiter::waitMs(qint64 wanted) const
{
    if (bytesPerSecond == 0)
        return 1;
    // Worth waking for: a whole small read, or what is wanted if less.
    const double missing = double(std::min(wanted, kSmallestRead)) - tokens;
    return std::max(1, int(std::ceil(missing * 1000.0 / double(bytesPerSecond))));
}

qint64 RateLimiter::readBufferBytes() const
{
    return std::max<qint64>(kSmallestRead, bytesPerSecond / 4);
}

qint64 parseRate(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*(\\d+(?:\\.\\d+)?)\\s*([kKmMgG]?)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return -1;
    const QString unit = match.captured(2).toUpper();
    const double scale = unit == QLatin1String("K")   ? 1e3
                         : unit == QLatin1String("M") ? 1e6
                         : unit == QLatin1String("G") ? 1e9
                                                      : 1.0;
    const double bytes = match.captured(1).toDouble() * scale;
    return bytes >= 1e15 ? -1 : qint64(std::llround(bytes));
}

QString rateText(qint64 bytesPerSecond)
{
    return bytesPerSecond <= 0 ? QStringLiteral("no limit")
                               : QStringLiteral("%1/s").arg(readableBytes(bytesPerSecond));
}
