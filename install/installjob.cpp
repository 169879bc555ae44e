#include "install/installjob.h"

#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace {
// How often the progress follows the worker.
constexpr int kInstallProgressIntervalMs = 50;
} // namespace

InstallJob::InstallJob(const ClientInstallPlan &plan, qint64 totalBytes, const StagingFiller &fill,
                       QObject *parent)
    : QObject(parent), installPlan(plan), fill(fill),
      total(std::make_shared<std::atomic<qint64>>(totalBytes)), poll(new QTimer(this))
{
    connect(poll, &QTimer::timeout, this, [this]() {
        const qint64 all = total->load();
        if (all > 0)
            Q_EMIT progress(int(qMin<qint64>(100, shared->bytesWritten * 100 / all)));
    });
}

InstallJob::~InstallJob()
{
    shared->cancelled = true;
    work.waitForFinished();
}

void InstallJob::start()
{
    Q_EMIT progress(0);
    poll->start(kInstallProgressIntervalMs);
    auto *watcher = new QFutureWatcher<ClientInstallOutcome>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher]() {
        poll->stop();
        watcher->deleteLater();
        Q_EMIT finished(watcher->result());
    });
    work = QtConcurrent::run([plan = installPlan, progress = shared, total = total, fill = fill]() {
        return runClientInstall(plan, progress.get(), total.get(), fill);
    });
    watcher->setFuture(work);
}
