#include "install/verifyjob.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

FileIndex indexOfRecord(const InstallRecord &record)
{
    FileIndex index;
    index.version = record.version;
    for (const RecordedFile &file : record.files) {
        FileIndexEntry entry;
        entry.path = file.path;
        entry.size = file.size;
        entry.sha256 = file.sha256;
        entry.executable = file.executable;
        index.files.append(entry);
    }
    return index;
}

VerifyJob::VerifyJob(const QString &versionFolder, const InstallRecord &record, RecordTrust trust,
                     QObject *parent)
    : QObject(parent), folder(versionFolder), record(record), trust(trust)
{
}

VerifyJob::~VerifyJob()
{
    cancel->store(true);
    work.waitForFinished();
}

void VerifyJob::start()
{
    auto *watcher = new QFutureWatcher<VerifyResult>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher]() {
        watcher->deleteLater();
        Q_EMIT finished(watcher->result());
    });
    work = QtConcurrent::run([folder = folder, record = record, trust = trust, cancel = cancel]() {
        const FileIndex index = indexOfRecord(record);
        const DifferentialPlan plan = planDifferentialInstall(index, {folder}, cancel.get(), trust);
        VerifyResult result;
        result.checked = int(index.files.size());
        // A file with the right bytes but the wrong execute bit is damaged too:
        // a launch file without it does not start.
        for (qsizetype i = 0; i < index.files.size(); ++i)
            if (plan.sources.at(i).isEmpty() ||
                plan.sourceExecutable.at(i) != index.files.at(i).executable)
                result.damaged.append(index.files.at(i).path);
        return result;
    });
    watcher->setFuture(work);
}
