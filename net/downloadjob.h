#pragma once

#include "net/filedigest.h"
#include "net/releasehosts.h"
#include "net/requestinfo.h"
#include "storage/growingfile.h"

#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>

class QFile;
class QNetworkAccessManager;
class QTimer;
class RateLimiter;
class QNetworkReply;

// How a download ended.
struct DownloadResult
{
    enum Outcome {
        Downloaded,     // the file is at targetPath
        NetworkFailure, // the transfer broke; what arrived is kept to resume
        HttpFailure,    // the server answered with a status outside 200..299
        Stopped,        // the launcher stopped it: more bytes than declared, or a refused write
        FileFailure,    // the download's folder or file could not be made or finalised
    };
    Outcome outcome = FileFailure;
    QString message; // the window's message when not Downloaded
    int httpStatus = 0;
    bool bytesExceeded = false; // Stopped because more bytes came than declared
    QString targetPath;
    QString sha256; // Downloaded: the file's digest, computed as it was written

    bool ok() const { return outcome == Downloaded; }
};

// 0 to 100 of a transfer's total, or -1 while the total is not known.
inline int percentOf(qint64 received, qint64 total)
{
    return total > 0 ? int(received * 100 / total) : -1;
}

// The window's message when a finished download's SHA-256 is not the one
// expected (the file is then removed), or empty when it is.
QString checkDownloadedDigest(const DownloadResult &result, const QString &expectedSha256,
                              const QString &label);

// One artifact streamed into "<target>.part" and moved to its target when
// complete. The digest is computed as bytes arrive; a part left by an earlier
// attempt is continued (Range, If-Range) when the server allows it; more bytes
// than declared, a stall or a refused write end it at once. The job owns its
// reply and its file: once cancelled or destroyed it reports nothing more.
class DownloadJob : public QObject
{
    Q_OBJECT

public:
    DownloadJob(QNetworkAccessManager *manager, const QUrl &url, const QString &targetPath,
                RequestPurpose purpose, qint64 declaredSize = 0, QObject *parent = nullptr);
    // Keeps the part on disk for the next attempt and waits for its own hashing.
    ~DownloadJob() override;

    // Reports finished() once, possibly before it returns.
    void start();
    // The part as it is written, for whoever reads it meanwhile (from
    // start() on); finishing or abandoning it is the caller's business.
    std::shared_ptr<GrowingFile> followPart();
    // The file is removed once it has served (before the install is synced):
    // its write-back is not started early, so that it may never reach the disk.
    void setTransient(bool transient) { transientFile = transient; }
    // With mirrors, a file whose digest is not this one is fetched from the
    // next host; the last host's file is handed over whatever its digest.
    void setExpectedSha256(const QString &sha256) { expectedSha256 = sha256.trimmed(); }
    void cancel();

Q_SIGNALS:
    // Bytes of the file so far (a resumed part's included) and in all.
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void finished(const DownloadResult &result);

private:
    void sendRequest(const QByteArray &validator);
    void hashPartThenSend(const QByteArray &validator);
    bool consume();
    void onReplyFinished();
    void onReplyEnded();
    void keepPartForResume();
    void discardPart();
    void cutPartBack();
    void partGrew();
    void finish(DownloadResult::Outcome outcome, const QString &message, int status = 0);
    bool tryNextHost(const QString &reason, bool unreachable);
    QString name() const;

    QNetworkAccessManager *manager;
    const QUrl url;
    HostRoute route; // where url is asked for: with mirrors, on more than one host
    QString expectedSha256;
    QString finishedSha256;
    const QString targetPath;
    const QString partPath;
    const RequestPurpose purpose;
    const qint64 declaredSize;
    QNetworkReply *reply = nullptr;
    QFile *file = nullptr;
    Sha256Stream digest;
    qint64 offset = 0;  // where this attempt continues the part
    qint64 written = 0; // bytes in the part so far
    // Bytes written since the part's write-back was last started.
    qint64 unsentToDisk = 0;
    static constexpr qint64 kWriteBackChunkBytes = 16 << 20;
    bool answered = false;
    bool bytesExceeded = false;
    bool done = false;
    QString stopReason;
    std::shared_ptr<GrowingFile> follower;
    bool transientFile = false;
    // The manager's, when it has one: reads wait for it, and the unread
    // bytes hold the transfer back on the link.
    QPointer<RateLimiter> rateLimiter;
    QTimer *paceTimer = nullptr;
    bool replyEnded = false; // the reply has finished; what it holds is still being read
    // Hashing of a resumed part runs off the caller's thread.
    std::shared_ptr<std::atomic<bool>> cancelHashing = std::make_shared<std::atomic<bool>>(false);
    QFuture<Sha256Stream> hashing;
};
