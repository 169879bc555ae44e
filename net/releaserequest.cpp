#include "net/releaserequest.h"

#include "base/logging.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrlQuery>

QNetworkRequest releaseRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, gatewayUserAgent());
    return request;
}

void tagReply(QNetworkReply *reply, RequestPurpose purpose)
{
    reply->setProperty(kRequestStartedAtProperty, QDateTime::currentMSecsSinceEpoch());
    reply->setProperty(kRequestPurposeProperty, int(purpose));
}

QNetworkReply *sendTimedRequest(QNetworkAccessManager *manager, const QUrl &url,
                                RequestPurpose purpose, const QString &timeoutFormat,
                                bool pastCaches)
{
    const QString urlText = url.toString(QUrl::RemovePassword);
    QNetworkRequest request = releaseRequest(url);
    if (pastCaches)
        request.setRawHeader("Cache-Control", "no-cache");
    QNetworkReply *reply = manager->get(request);
    tagReply(reply, purpose);
    // Bound to the reply, so the timer dies with it.
    QTimer::singleShot(kManifestRequestTimeoutMs, reply, [reply, urlText, timeoutFormat]() {
        if (!reply->isRunning())
            return;
        logWarning(timeoutFormat.arg(kManifestRequestTimeoutMs).arg(urlText));
        reply->abort();
    });
    return reply;
}

namespace {
constexpr char kUnansweredProperty[] = "ivraUnansweredMs";
} // namespace

void abortIfUnanswered(QNetworkReply *reply, int ms)
{
    // Precise: a coarse timer of seconds may fire 5 % late, and this time is what a dead host
    // costs.
    QTimer::singleShot(ms, Qt::PreciseTimer, reply, [reply, ms]() {
        if (!reply->isRunning() ||
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
            return;
        reply->setProperty(kUnansweredProperty, ms);
        reply->abort();
    });
}

QString unansweredReason(const QNetworkReply *reply)
{
    const QVariant ms = reply->property(kUnansweredProperty);
    return ms.isValid() ? QStringLiteral("no answer in %1 ms").arg(ms.toInt())
                        : reply->errorString();
}

QUrl cacheBustingUrl(const QUrl &url, const QString &token)
{
    QUrl busting = url;
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("ivra-refetch"), token);
    busting.setQuery(query);
    return busting;
}

qint64 replyElapsedMs(const QNetworkReply *reply)
{
    const qint64 startedAt = reply->property(kRequestStartedAtProperty).toLongLong();
    return startedAt > 0 ? QDateTime::currentMSecsSinceEpoch() - startedAt : -1;
}

void logRefusedRedirect(const QNetworkReply *reply, const QString &name)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QUrl requested = reply->request().url();
    if (status >= 300 && status < 400 && requested.scheme() == QLatin1String("https") &&
        reply->url().scheme() == QLatin1String("http"))
        logWarning(QStringLiteral("%1 redirect from https to http refused: %2 -> %3")
                       .arg(name, requested.toString(QUrl::RemovePassword),
                            reply->url().toString(QUrl::RemovePassword)));
}
