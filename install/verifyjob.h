#pragma once

#include "install/differential.h"
#include "install/installrecord.h"

#include <QFuture>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>

struct VerifyResult
{
    int checked = 0;
    QStringList damaged; // paths whose file is missing or differs from the record
};

// Checks an installed version folder against its record off the caller's
// thread: every file read and hashed (RecordTrust::None), or only those that
// are no longer exactly the recorded file (RecordTrust::Metadata).
class VerifyJob : public QObject
{
    Q_OBJECT

public:
    VerifyJob(const QString &versionFolder, const InstallRecord &record, RecordTrust trust,
              QObject *parent = nullptr);
    ~VerifyJob() override;

    void start();

Q_SIGNALS:
    void finished(const VerifyResult &result);

private:
    const QString folder;
    const InstallRecord record;
    const RecordTrust trust;
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
    QFuture<VerifyResult> work;
};

// A record's files as the index they were installed from (without objects).
FileIndex indexOfRecord(const InstallRecord &record);
