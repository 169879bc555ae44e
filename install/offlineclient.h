#pragma once

#include <QString>
#include <QStringList>

// The installed client a player may start when the release service cannot
// be reached: the active version, not below the minimum of the last client
// manifest accepted, its record readable and every file still as recorded.
struct OfflineClient
{
    QString executable;
    QStringList arguments;
    QString problem; // why there is none, for the log
};

OfflineClient offlineClient(const QString &productPath, const QString &activeVersion,
                            const QString &acceptedMinimum);
