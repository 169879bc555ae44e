#pragma once

#include "install/clientinstall.h"

#include <QFuture>
#include <QObject>

#include <memory>

class QTimer;

// One client install up to promotion (a package extracted, or staging filled
// from a differential update) on a worker thread, reporting its progress over
// the bytes written. Destroying the job cancels the work and waits for it: the
// worker removes its staging folder, and nothing half-made is promoted.
class InstallJob : public QObject
{
    Q_OBJECT

public:
    InstallJob(const ClientInstallPlan &plan, qint64 totalBytes, const StagingFiller &fill,
               QObject *parent = nullptr);
    ~InstallJob() override;

    void start();
    const ClientInstallPlan &plan() const { return installPlan; }
    // Whether staging was filled by a differential update rather than the package.
    bool filled() const { return bool(fill); }
    // What went to disk: linked and cloned files take no new data.
    qint64 bytesWritten() const { return shared->bytesWritten - shared->bytesReused; }

Q_SIGNALS:
    void progress(int percent);
    void finished(const ClientInstallOutcome &outcome);

private:
    const ClientInstallPlan installPlan;
    const StagingFiller fill;
    std::shared_ptr<ExtractionProgress> shared = std::make_shared<ExtractionProgress>();
    std::shared_ptr<std::atomic<qint64>> total;
    QTimer *poll;
    QFuture<ClientInstallOutcome> work;
};
