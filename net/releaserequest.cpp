#include "net/releaserequest.h"

#include "base/logging.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

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
                                RequestPurpose purpose, const QString &timeoutFormat)
{
    const QString urlText = url.toString(QUrl::RemovePassword);
    QNetworkReply *reply = manager->get(releaseRequest(url));
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
