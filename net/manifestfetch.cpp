#include "net/manifestfetch.h"

#include "app/logging.h"
#include "net/releaserequest.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <utility>

namespace {
RequestPurpose signaturePurposeFor(RequestPurpose manifest)
{
    return manifest == RequestPurpose::GatewayManifest ? RequestPurpose::GatewaySignature
                                                       : RequestPurpose::ClientSignature;
}

QString timeoutFormatFor(RequestPurpose purpose)
{
    switch (purpose) {
    case RequestPurpose::GatewayManifest:
        return QStringLiteral("Gateway manifest request timed out after %1 ms: %2");
    case RequestPurpose::ClientManifest:
        return QStringLiteral("Client manifest request timed out after %1 ms: %2");
    default:
        return requestPurposeName(int(purpose)) +
               QStringLiteral(" request timed out after %1 ms: %2");
    }
}
} // namespace

ManifestFetch::ManifestFetch(QNetworkAccessManager *manager, const QUrl &url,
                             RequestPurpose purpose, const ManifestTrust &trust, QObject *parent)
    : QObject(parent), manager(manager), url(url), purpose(purpose), trust(trust)
{
}

ManifestFetch::~ManifestFetch()
{
    cancel();
}

void ManifestFetch::start()
{
    auto send = [this](const QUrl &target, RequestPurpose what) {
        QNetworkReply *reply = sendTimedRequest(manager, target, what, timeoutFormatFor(what));
        connect(reply, &QNetworkReply::finished, this, [this, reply]() { onReplyFinished(reply); });
        ++pending;
        return reply;
    };
    manifestReply = send(url, purpose);
    if (trust.keys.isEmpty())
        return;
    // Both go out at once; the decision waits for the pair.
    const RequestPurpose signaturePurpose = signaturePurposeFor(purpose);
    const QUrl signatureUrl = signatureUrlFor(url);
    logInfo(QStringLiteral("Requesting %1: %2")
                .arg(requestPurposeName(int(signaturePurpose)),
                     signatureUrl.toString(QUrl::RemovePassword)));
    signatureReply = send(signatureUrl, signaturePurpose);
}

void ManifestFetch::onReplyFinished(QNetworkReply *reply)
{
    const bool isSignature = reply == signatureReply;
    (isSignature ? signatureReply : manifestReply) = nullptr;
    --pending;
    reply->deleteLater();
    reply->disconnect(this);
    const QString name = requestPurposeName(reply->property(kRequestPurposeProperty).toInt());
    const qint64 elapsed = replyElapsedMs(reply);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool judged = reply->url().scheme().startsWith(QLatin1String("http"));
    const bool httpFailure = judged && (status < 200 || status > 299);
    // Qt also flags an HTTP error status as a reply error; an answer that came
    // with a status is judged by that status, not reported as a network failure.
    if (reply->error() != QNetworkReply::NoError && !(httpFailure && status != 0)) {
        logWarning(QStringLiteral("%1 failed after %2 ms: networkError=%3, message=%4")
                       .arg(name)
                       .arg(elapsed)
                       .arg(int(reply->error()))
                       .arg(reply->errorString()));
        fail(isSignature
                 ? QStringLiteral("Unable to download release signature: %1.")
                       .arg(reply->errorString())
                 : QStringLiteral("Unable to download release data: %1").arg(reply->errorString()));
        return;
    }
    const QByteArray data = reply->readAll();
    if (httpFailure) {
        logRefusedRedirect(reply, name);
        logWarning(QStringLiteral("%1 failed after %2 ms: HTTP %3, body=%4")
                       .arg(name)
                       .arg(elapsed)
                       .arg(status)
                       .arg(replyBodyPreview(data)));
        fail(isSignature ? QStringLiteral("Unable to download release signature: %1.")
                               .arg(QStringLiteral("HTTP %1").arg(status))
                         : QStringLiteral("Release service returned HTTP %1.").arg(status));
        return;
    }
    logInfo(QStringLiteral("%1 received after %2 ms: HTTP %3").arg(name).arg(elapsed).arg(status));
    (isSignature ? signature : body) = data;
    if (pending == 0)
        verify();
}

void ManifestFetch::verify()
{
    ManifestFetchResult result;
    result.fileName = signedFileNameForUrl(url.toString());
    result.body = body;
    if (!trust.keys.isEmpty()) {
        const QString name = requestPurposeName(int(purpose));
        const SignatureVerification verified =
            verifyReleaseSignature(body, signature, trust.keys, result.fileName);
        if (!verified.error.isEmpty()) {
            logWarning(QStringLiteral("%1 signature refused: %2").arg(name, verified.error));
            fail(QStringLiteral("Release data signature is not valid."));
            return;
        }
        const SignatureFreshness freshness =
            checkSignatureFreshness(verified.timestamp, trust.acceptedTimestamp, trust.maxAgeDays,
                                    QDateTime::currentSecsSinceEpoch());
        if (!freshness.message.isEmpty()) {
            logWarning(QStringLiteral("%1 signature refused: %2").arg(name, freshness.detail));
            fail(freshness.message);
            return;
        }
        logInfo(QStringLiteral("%1 signature verified: %2, key %3, timestamp %4")
                    .arg(name, result.fileName, keyIdText(verified.keyId))
                    .arg(verified.timestamp));
        result.timestamp = verified.timestamp;
        result.keyId = verified.keyId;
    }
    result.ok = true;
    Q_EMIT finished(result);
}

void ManifestFetch::fail(const QString &message)
{
    dropReplies();
    ManifestFetchResult result;
    result.message = message;
    result.fileName = signedFileNameForUrl(url.toString());
    Q_EMIT finished(result);
}

void ManifestFetch::dropReplies()
{
    for (QNetworkReply **slot : {&manifestReply, &signatureReply}) {
        QNetworkReply *reply = std::exchange(*slot, nullptr);
        if (!reply)
            continue;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    pending = 0;
}

void ManifestFetch::cancel()
{
    dropReplies();
}
