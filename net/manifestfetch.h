#pragma once

#include "net/releasehosts.h"
#include "net/requestinfo.h"
#include "release/signature.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// What a build trusts: no keys for an unsigned build, which fetches no signature.
struct ManifestTrust
{
    QList<ReleasePublicKey> keys;
    int maxAgeDays = 0;           // signatures older than this are refused (0: off)
    qint64 acceptedTimestamp = 0; // the newest timestamp accepted for this manifest before
};

struct ManifestFetchResult
{
    bool ok = false;
    QString message;      // the window's message when not ok; Retry is always offered
    QByteArray body;      // ok: the manifest's bytes, verified when the build is signed
    QString fileName;     // the file name a signature must name
    qint64 timestamp = 0; // signed and ok: the signature's timestamp
    QByteArray keyId;     // signed and ok: the key that made it
    // Not ok because the service could not be reached or answered with an
    // HTTP error (either half), as opposed to what it sent being refused.
    bool unreachable = false;
};

// A release manifest, and in a signed build its ".minisig" sent along at once:
// the body is handed on only once both have arrived and the signature holds
// (by a trusted key, for this file, not dated in the future, not older than
// what was accepted, not expired). Both are read with a bound as they arrive
// (kManifestReplyLimitBytes, kSignatureReplyLimitBytes); each request times out
// after kManifestRequestTimeoutMs. When one half fails, the other is dropped
// unheard: nothing arrives after the result. A signature that does not
// verify, or names another file, may be a cache serving the two halves out
// of step: the pair is fetched once more past caches before it is refused.
// With mirrors (ReleaseHosts), a host that fails in any of these ways, or
// serves a manifest older than one accepted, is skipped for the next; when
// none serves, the first host's failure is reported.
class ManifestFetch : public QObject
{
    Q_OBJECT

public:
    ManifestFetch(QNetworkAccessManager *manager, const QUrl &url, RequestPurpose purpose,
                  const ManifestTrust &trust, QObject *parent = nullptr);
    ~ManifestFetch() override;

    void start();
    // Drops both requests; nothing is reported.
    void cancel();

Q_SIGNALS:
    void finished(const ManifestFetchResult &result);

private:
    struct Exchange
    {
        QNetworkReply *reply = nullptr;
        QByteArray data;
        qint64 limit = 0;
        bool signature = false;
    };

    void send(const QUrl &manifestUrl, bool pastCaches);
    bool collect(Exchange &exchange);
    void onReplyFinished(Exchange &exchange);
    void verify();
    void fail(const QString &message, bool unreachable = false, const QString &reason = QString());

    QNetworkAccessManager *manager;
    const QUrl url;
    HostRoute route; // where url is asked for: with mirrors, on more than one host
    ManifestFetchResult firstFailure;
    const RequestPurpose purpose;
    const ManifestTrust trust;
    Exchange manifest;
    Exchange signature;
    int pending = 0;
    bool refetched = false;
};
