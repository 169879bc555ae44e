#include "net/manifestfetch.h"

#include "base/logging.h"
#include "net/releaserequest.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>

#include <utility>

namespace {
// Qt's own buffer of a reply is kept small: the bound applies to memory, not
// only to what is read out of it.
constexpr qint64 kReadBufferBytes = 64 * 1024;

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

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool isHttpFailure(const QNetworkReply *reply)
{
    const int status = statusOf(reply);
    return reply->url().scheme().startsWith(QLatin1String("http")) &&
           (status < 200 || status > 299);
}
} // namespace

ManifestFetch::ManifestFetch(QNetworkAccessManager *manager, const QUrl &url,
                             RequestPurpose purpose, const ManifestTrust &trust, QObject *parent)
    : QObject(parent), manager(manager), url(url), purpose(purpose), trust(trust)
{
    manifest.limit = kManifestReplyLimitBytes;
    signature.limit = kSignatureReplyLimitBytes;
    signature.signature = true;
}

ManifestFetch::~ManifestFetch()
{
    cancel();
}

void ManifestFetch::start()
{
    route = HostRoute(manager, url);
    send(route.url(), false);
}

void ManifestFetch::send(const QUrl &manifestUrl, bool pastCaches)
{
    auto ask = [this, pastCaches](Exchange &exchange, const QUrl &target, RequestPurpose what) {
        QNetworkReply *reply =
            sendTimedRequest(manager, target, what, timeoutFormatFor(what), pastCaches);
        reply->setReadBufferSize(kReadBufferBytes);
        if (route.hasNext())
            abortIfUnanswered(reply, kMirrorAnswerTimeoutMs);
        exchange.reply = reply;
        exchange.data.clear();
        connect(reply, &QNetworkReply::metaDataChanged, this,
                [this, &exchange]() { collect(exchange); });
        connect(reply, &QIODevice::readyRead, this, [this, &exchange]() { collect(exchange); });
        connect(reply, &QNetworkReply::finished, this,
                [this, &exchange]() { onReplyFinished(exchange); });
        ++pending;
    };
    // With mirrors the host asked is not always the one the pass named.
    if (route.manyHosts())
        logInfo(
            QStringLiteral("Requesting %1: %2")
                .arg(requestPurposeName(int(purpose)), manifestUrl.toString(QUrl::RemovePassword)));
    ask(manifest, manifestUrl, purpose);
    if (trust.keys.isEmpty())
        return;
    // Both go out at once; the decision waits for the pair.
    const RequestPurpose signaturePurpose = signaturePurposeFor(purpose);
    const QUrl signatureUrl = signatureUrlFor(manifestUrl);
    logInfo(QStringLiteral("Requesting %1: %2")
                .arg(requestPurposeName(int(signaturePurpose)),
                     signatureUrl.toString(QUrl::RemovePassword)));
    ask(signature, signatureUrl, signaturePurpose);
}

// Takes what has arrived, within the bound. An answer announced or grown past
// it is dropped at once and ends the fetch; of an HTTP error's body only the
// log's preview is kept. False when the fetch ended here.
bool ManifestFetch::collect(Exchange &exchange)
{
    QNetworkReply *reply = exchange.reply;
    if (!reply->isOpen()) // aborted: nothing more to read
        return true;
    if (isHttpFailure(reply) && statusOf(reply) != 0) {
        const QByteArray data = reply->readAll();
        exchange.data += data.left(kReplyBodyPreviewBytes + 1 - exchange.data.size());
        return true;
    }
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (announced <= exchange.limit &&
        exchange.data.size() + reply->bytesAvailable() <= exchange.limit) {
        exchange.data += reply->readAll();
        return true;
    }
    const QString name = requestPurposeName(reply->property(kRequestPurposeProperty).toInt());
    logWarning(QStringLiteral("%1 is larger than %2 bytes: aborted after %3 ms")
                   .arg(name)
                   .arg(exchange.limit)
                   .arg(replyElapsedMs(reply)));
    fail(exchange.signature
             ? QStringLiteral("Release data signature is not valid.")
             : QStringLiteral("Release data is larger than %1 bytes.").arg(exchange.limit));
    return false;
}

void ManifestFetch::onReplyFinished(Exchange &exchange)
{
    QNetworkReply *reply = exchange.reply;
    if (!collect(exchange))
        return;
    exchange.reply = nullptr;
    --pending;
    reply->disconnect(this);
    reply->deleteLater();
    const QString name = requestPurposeName(reply->property(kRequestPurposeProperty).toInt());
    const qint64 elapsed = replyElapsedMs(reply);
    const int status = statusOf(reply);
    const bool httpFailure = isHttpFailure(reply);
    // Qt also flags an HTTP error status as a reply error; an answer that came
    // with a status is judged by that status, not reported as a network failure.
    if (reply->error() != QNetworkReply::NoError && !(httpFailure && status != 0)) {
        logWarning(QStringLiteral("%1 failed after %2 ms: networkError=%3, message=%4")
                       .arg(name)
                       .arg(elapsed)
                       .arg(int(reply->error()))
                       .arg(reply->errorString()));
        fail(exchange.signature
                 ? QStringLiteral("Unable to download release signature: %1.")
                       .arg(reply->errorString())
                 : QStringLiteral("Unable to download release data: %1").arg(reply->errorString()),
             true, unansweredReason(reply));
        return;
    }
    if (httpFailure) {
        logRefusedRedirect(reply, name);
        logWarning(QStringLiteral("%1 failed after %2 ms: HTTP %3, body=%4")
                       .arg(name)
                       .arg(elapsed)
                       .arg(status)
                       .arg(replyBodyPreview(exchange.data)));
        fail(exchange.signature ? QStringLiteral("Unable to download release signature: %1.")
                                      .arg(QStringLiteral("HTTP %1").arg(status))
                                : QStringLiteral("Release service returned HTTP %1.").arg(status),
             true);
        return;
    }
    logInfo(QStringLiteral("%1 received after %2 ms: HTTP %3").arg(name).arg(elapsed).arg(status));
    if (pending == 0)
        verify();
}

void ManifestFetch::verify()
{
    ManifestFetchResult result;
    result.fileName = signedFileNameForUrl(url.toString());
    result.body = manifest.data;
    if (!trust.keys.isEmpty()) {
        const QString name = requestPurposeName(int(purpose));
        const SignatureVerification verified =
            verifyReleaseSignature(manifest.data, signature.data, trust.keys, result.fileName);
        if (!verified.error.isEmpty() && !refetched) {
            logWarning(QStringLiteral("%1 signature did not verify: %2; fetching the pair again "
                                      "past caches")
                           .arg(name, verified.error));
            refetched = true;
            send(cacheBustingUrl(route.url(),
                                 QString::number(QRandomGenerator::global()->generate64(), 36)),
                 true);
            return;
        }
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
            fail(freshness.message, false, freshness.detail);
            return;
        }
        logInfo(QStringLiteral("%1 signature verified: %2, key %3, timestamp %4")
                    .arg(name, result.fileName, keyIdText(verified.keyId))
                    .arg(verified.timestamp));
        result.timestamp = verified.timestamp;
        result.keyId = verified.keyId;
    }
    route.servesPass();
    result.ok = true;
    Q_EMIT finished(result);
}

void ManifestFetch::fail(const QString &message, bool unreachable, const QString &reason)
{
    cancel();
    if (firstFailure.message.isEmpty()) {
        firstFailure.message = message;
        firstFailure.unreachable = unreachable;
    }
    if (route.moveOn(reason.isEmpty() ? message : reason, unreachable)) {
        refetched = false;
        send(route.url(), false);
        return;
    }
    ManifestFetchResult result;
    result.message = firstFailure.message;
    // With mirrors, no host serving valid release data (out of reach, stale,
    // expired or refused) is the service out of reach: the installed client
    // still plays. A stale mirror must not lock a player out.
    result.unreachable = firstFailure.unreachable || route.mirrored();
    result.fileName = signedFileNameForUrl(url.toString());
    Q_EMIT finished(result);
}

void ManifestFetch::cancel()
{
    for (Exchange *exchange : {&manifest, &signature}) {
        QNetworkReply *reply = std::exchange(exchange->reply, nullptr);
        if (!reply)
            continue;
        // Deleting a running reply stops its request. It is not aborted: when
        // both halves meet the same refused connection, the other half's own
        // error may already be on its way, and Qt warns of a second error.
        reply->disconnect(this);
        reply->deleteLater();
    }
    pending = 0;
}
