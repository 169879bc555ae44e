#pragma once

#include "storage/gatewaystate.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// The release service's base URL first, then its mirrors in the order given
// (";"-separated); duplicates and URLs that are not http(s) left out.
QList<QUrl> releaseHostList(const QString &mainBase, const QString &mirrors);
// url moved from one base to another (same path below it, same query);
// empty when url is not under from.
QUrl rebasedUrl(const QUrl &url, const QUrl &from, const QUrl &to);
// The order a pass tries count hosts in: the one that served the last whole
// pass first (lastGood, -1 when none), then the others as configured. A
// mirror that took over from an earlier host is kept first for a day after
// it did (sinceSecs); then the configured order is tried again.
QList<int> passHostOrder(int count, int lastGood, qint64 sinceSecs, qint64 nowSecs);

// A host that did not answer within this time is left for the next one (only
// when there is a next one: a single host keeps the usual time-outs).
inline constexpr int kMirrorAnswerTimeoutMs = 5000;

// The hosts that serve one release service: the main base URL and its
// mirrors. It is the pass's network manager's child, where every job of the
// pass finds it; with no mirrors there is none, and requests go where their
// URL says. A request under the main base (or a mirror's) is tried on the
// host that served the manifest first, then on the others; a host that could
// not be reached is asked again in the pass only when no other is left.
class ReleaseHosts : public QObject
{
    Q_OBJECT

public:
    ReleaseHosts(const QList<QUrl> &bases, QNetworkAccessManager *manager);
    // The hosts of a manager's requests, if it has more than one.
    static ReleaseHosts *of(QNetworkAccessManager *manager);
    // The build's hosts on manager, when the build names mirrors.
    static ReleaseHosts *fromBuildSettings(QNetworkAccessManager *manager);

    // A new pass: the order starts from what the last one remembered.
    void beginPass(const ReleaseHostChoice &remembered, qint64 nowSecs);
    // Where to ask for url, in order: url itself alone when no host serves it.
    QList<QUrl> candidates(const QUrl &url) const;
    // Logs "Mirror %1 skipped: %2"; unreachable puts the host last for the pass.
    void skip(const QUrl &url, const QString &reason, bool unreachable);
    // A manifest came from url's host: the artifacts it names go there first.
    void served(const QUrl &url);
    // The host of url ("https://host:port/base"), empty when it is none of these.
    QString hostOf(const QUrl &url) const;
    // What to remember once the pass has ended well.
    ReleaseHostChoice choiceAfterPass(const ReleaseHostChoice &remembered, qint64 nowSecs) const;

private:
    int indexOf(const QUrl &url) const;

    QList<QUrl> bases;
    QList<int> order;
    int first = -1;   // the host tried first this pass
    int serving = -1; // the host that served the last manifest
    QSet<int> unreachable;
};

// The hosts one request goes to, in the order ReleaseHosts gives; the URL
// alone when the manager has no mirrors.
class HostRoute
{
public:
    HostRoute() = default;
    HostRoute(QNetworkAccessManager *manager, const QUrl &url);

    QUrl url() const { return urls.value(at); }
    bool manyHosts() const { return urls.size() > 1; }
    // The build names mirrors: what one host fails to serve, another may.
    bool mirrored() const { return !hosts.isNull(); }
    // Another host is left: only then is a silent host left after a time-out.
    bool hasNext() const { return at + 1 < urls.size(); }
    // Logs why this host is skipped and goes on to the next; false when none is left.
    bool moveOn(const QString &reason, bool unreachable);
    // The request was answered: a host that answered after another was
    // skipped serves the rest of the pass first.
    void answered(const QString &name);
    // A manifest came from this host: the artifacts it names go there first.
    void servesPass();

private:
    QPointer<ReleaseHosts> hosts;
    QList<QUrl> urls;
    int at = 0;
};
