#include "net/releasehosts.h"

#include "base/buildsettings.h"
#include "base/logging.h"

#include <QNetworkAccessManager>

namespace {
constexpr qint64 kMainRetrySecs = 24 * 60 * 60;

int portOf(const QUrl &url)
{
    return url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
}

QString basePath(const QUrl &base)
{
    QString path = base.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}
} // namespace

QList<QUrl> releaseHostList(const QString &mainBase, const QString &mirrors)
{
    QList<QUrl> hosts;
    QStringList texts{mainBase};
    texts += mirrors.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &text : texts) {
        const QUrl url(text.trimmed());
        const bool web =
            url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http");
        if (!url.isValid() || !web || url.host().isEmpty())
            continue;
        const QUrl base = url.adjusted(QUrl::StripTrailingSlash);
        if (!hosts.contains(base))
            hosts.append(base);
    }
    return hosts;
}

QUrl rebasedUrl(const QUrl &url, const QUrl &from, const QUrl &to)
{
    if (url.scheme() != from.scheme() || url.host() != from.host() || portOf(url) != portOf(from))
        return QUrl();
    const QString fromPath = basePath(from);
    const QString path = url.path(QUrl::FullyEncoded);
    if (!path.startsWith(fromPath) ||
        (path.size() > fromPath.size() && path.at(fromPath.size()) != QLatin1Char('/')))
        return QUrl();
    QUrl moved = to;
    moved.setPath(basePath(to) + path.mid(fromPath.size()), QUrl::TolerantMode);
    moved.setQuery(url.query(QUrl::FullyEncoded), QUrl::TolerantMode);
    return moved;
}

QList<int> passHostOrder(int count, int lastGood, qint64 sinceSecs, qint64 nowSecs)
{
    QList<int> order;
    const qint64 age = nowSecs - sinceSecs;
    if (lastGood > 0 && lastGood < count && age >= 0 && age < kMainRetrySecs)
        order.append(lastGood);
    for (int i = 0; i < count; ++i) {
        if (!order.contains(i))
            order.append(i);
    }
    return order;
}

ReleaseHosts::ReleaseHosts(const QList<QUrl> &bases, QNetworkAccessManager *manager)
    : QObject(manager), bases(bases)
{
    beginPass(ReleaseHostChoice(), 0);
}

ReleaseHosts *ReleaseHosts::of(QNetworkAccessManager *manager)
{
    return manager ? manager->findChild<ReleaseHosts *>(QString(), Qt::FindDirectChildrenOnly)
                   : nullptr;
}

ReleaseHosts *ReleaseHosts::fromBuildSettings(QNetworkAccessManager *manager)
{
    const QList<QUrl> hosts =
        releaseHostList(BuildSettings::releaseBaseUrl(), BuildSettings::releaseMirrors());
    return hosts.size() > 1 ? new ReleaseHosts(hosts, manager) : nullptr;
}

void ReleaseHosts::beginPass(const ReleaseHostChoice &remembered, qint64 nowSecs)
{
    const int lastGood = remembered.url.isEmpty() ? -1 : indexOf(QUrl(remembered.url));
    order = passHostOrder(bases.size(), lastGood, remembered.sinceSecs, nowSecs);
    first = order.first();
    serving = -1;
    unreachable.clear();
}

int ReleaseHosts::indexOf(const QUrl &url) const
{
    for (int i = 0; i < bases.size(); ++i) {
        if (!rebasedUrl(url, bases.at(i), bases.at(i)).isEmpty())
            return i;
    }
    return -1;
}

QString ReleaseHosts::hostOf(const QUrl &url) const
{
    const int at = indexOf(url);
    return at < 0 ? QString() : bases.at(at).toString(QUrl::RemovePassword);
}

QList<QUrl> ReleaseHosts::candidates(const QUrl &url) const
{
    const int at = indexOf(url);
    if (at < 0)
        return {url};
    QList<int> tries;
    if (serving >= 0 && !unreachable.contains(serving))
        tries.append(serving);
    // A host is waited for once a pass: one that could not be reached is
    // asked again only when no other host is left.
    for (bool reachedOnly : {true, false}) {
        for (int i : order) {
            if (!tries.contains(i) && (!reachedOnly || !unreachable.contains(i)))
                tries.append(i);
        }
        if (!tries.isEmpty())
            break;
    }
    QList<QUrl> urls;
    for (int i : tries)
        urls.append(rebasedUrl(url, bases.at(at), bases.at(i)));
    return urls;
}

void ReleaseHosts::skip(const QUrl &url, const QString &reason, bool hostUnreachable)
{
    const int at = indexOf(url);
    // The first host is the release service itself, not a mirror of it.
    logWarning((at == 0 ? QStringLiteral("Release host %1 skipped: %2")
                        : QStringLiteral("Mirror %1 skipped: %2"))
                   .arg(hostOf(url), reason));
    if (at >= 0 && hostUnreachable)
        unreachable.insert(at);
}

void ReleaseHosts::served(const QUrl &url)
{
    const int at = indexOf(url);
    if (at < 0)
        return;
    if (at != serving)
        logInfo(QStringLiteral("Release host for this pass: %1").arg(hostOf(url)));
    serving = at;
}

ReleaseHostChoice ReleaseHosts::choiceAfterPass(const ReleaseHostChoice &remembered,
                                                qint64 nowSecs) const
{
    if (serving < 0)
        return remembered;
    ReleaseHostChoice choice;
    choice.url = bases.at(serving).toString(QUrl::RemovePassword);
    // Kept first from when it took over: after a day the hosts before it are asked again.
    choice.sinceSecs =
        serving == first && choice.url == remembered.url ? remembered.sinceSecs : nowSecs;
    return choice;
}

HostRoute::HostRoute(QNetworkAccessManager *manager, const QUrl &url)
    : hosts(ReleaseHosts::of(manager)), urls(hosts ? hosts->candidates(url) : QList<QUrl>{url})
{
}

bool HostRoute::moveOn(const QString &reason, bool unreachable)
{
    if (!hosts || !hasNext())
        return false;
    hosts->skip(url(), reason, unreachable);
    ++at;
    return true;
}

void HostRoute::answered(const QString &name)
{
    if (!hosts || at == 0)
        return;
    logInfo(QStringLiteral("%1 served by %2").arg(name, hosts->hostOf(url())));
    hosts->served(url());
}

void HostRoute::servesPass()
{
    if (hosts)
        hosts->served(url());
}
