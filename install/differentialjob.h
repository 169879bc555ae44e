#pragma once

#include "install/differential.h"
#include "release/clientrelease.h"

#include <QFuture>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <memory>

class DownloadJob;
class QNetworkAccessManager;
struct DownloadResult;

// Objects fetched at the same time: on a link with a round trip, a few
// hundred small objects one after the other would cost a round trip each
// (over HTTP/2 they share one connection). The bytes they declare are
// bounded too, since each reply buffers up to 1 MiB.
inline constexpr int kObjectsInFlight = 32;
inline constexpr qint64 kObjectBytesInFlight = 16 << 20;

struct DifferentialResult
{
    enum Outcome {
        Ready,    // every changed file's object is in the cache: staging can be filled
        Intact,   // the folder checked holds every file of the index as it should
        FallBack, // the package is the way: the index or an object is wrong, or it saves too little
        Failed,   // the network broke: another attempt continues where this one stopped
    };
    Outcome outcome = FallBack;
    QString reason;    // FallBack: why, for the log
    bool fault = true; // FallBack: something was wrong (a warning), not just too little to gain
    QString message;   // Failed: the window's message
    // Failed: the release service could not be reached (not a full disk).
    bool unreachable = true;
    FileIndex index; // Ready, Intact; FallBack too once it was read
    DifferentialPlan plan;
};

// The fetching half of a differential update: the release's file index
// (checked against its size and digest), the plan of which installed files
// still serve (hashed off the caller's thread), then each missing object into
// the product's object cache, where an interrupted attempt finds it again.
// Progress is over all the object bytes to fetch.
class DifferentialJob : public QObject
{
    Q_OBJECT

public:
    // intactFolder, when given, is checked first: if it holds every file of
    // the index the job ends Intact without fetching anything.
    DifferentialJob(QNetworkAccessManager *manager, const ClientRelease &release,
                    const QString &productId, const QStringList &installedFolders,
                    QObject *parent = nullptr, const QString &intactFolder = QString(),
                    RecordTrust trust = RecordTrust::Metadata);
    ~DifferentialJob() override;

    void start();

Q_SIGNALS:
    void progress(int percent);
    // Object bytes fetched or found so far, of all to fetch.
    void transferred(qint64 done, qint64 total);
    void finished(const DifferentialResult &result);

private:
    struct Planned
    {
        FileIndexResult index;
        DifferentialPlan plan;
    };
    void onIndexDownloaded(const DownloadResult &download);
    void onPlanned(const Planned &planned);
    void fetchIndex(const QUrl &url, const QString &target);
    void fetchObjects();
    void onObjectDownloaded(DownloadJob *job, qsizetype i, const DownloadResult &download);
    bool downloadFailed(const DownloadResult &download, const QString &name);
    void fallBack(const QString &reason, bool fault = true);
    void conclude(const DifferentialResult &result);

    QNetworkAccessManager *manager;
    const ClientRelease release;
    const QString productId;
    const QStringList installedFolders;
    const QString intactFolder;
    const RecordTrust trust;
    const QString cacheFolder;
    DownloadJob *download = nullptr; // the index
    DifferentialResult ready;
    bool concluded = false; // a failure or fallback, reported once nothing is in flight
    DifferentialResult outcome;
    qsizetype nextObject = 0;
    // Objects asked for by this job: files with the same bytes share one download.
    QSet<QString> requestedObjects;
    QHash<DownloadJob *, qint64> active; // objects in flight, and their bytes so far
    qint64 activeDeclared = 0;           // the sizes the objects in flight declare
    qint64 bytesDone = 0;                // fetched or found in the cache, for the progress
    qint64 bytesFetched = 0;             // fetched by this attempt, for the log
    std::shared_ptr<std::atomic<bool>> cancelPlanning = std::make_shared<std::atomic<bool>>(false);
    QFuture<QList<RecordedFolder>> records; // read while the index is on its way
    QFuture<Planned> planning;
};
