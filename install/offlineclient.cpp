#include "install/offlineclient.h"

#include "install/differential.h"
#include "install/installrecord.h"
#include "install/launchpath.h"
#include "net/filedigest.h"
#include "release/version.h"

#include <QDir>

OfflineClient offlineClient(const QString &productPath, const QString &activeVersion,
                            const QString &acceptedMinimum)
{
    OfflineClient client;
    if (activeVersion.isEmpty()) {
        client.problem = QStringLiteral("no client is installed");
        return client;
    }
    if (!acceptedMinimum.isEmpty() && isBelowMinimum(activeVersion, acceptedMinimum)) {
        client.problem = QStringLiteral("%1 is below the minimum %2 of the last client manifest")
                             .arg(activeVersion, acceptedMinimum);
        return client;
    }
    const QString folder = QDir(productPath).absoluteFilePath(activeVersion);
    const RecordedFolder recorded = readRecordedFolders({folder}).constFirst();
    QString error;
    const QString executable =
        recorded.record.version.isEmpty()
            ? QString()
            : resolveLaunchPath(folder, recorded.record.launchExePath, &error);
    client.problem = recorded.record.version.isEmpty()
                         ? QStringLiteral("%1 has no readable install record").arg(activeVersion)
                     : executable.isEmpty()
                         ? error
                         : installedVersionProblem(productPath, activeVersion, executable);
    // A file whose metadata changed (a chmod, a copy put back) is read: only
    // other bytes keep the version from being played.
    for (qsizetype i = 0; client.problem.isEmpty() && i < recorded.matches.size(); ++i) {
        const RecordedFile &file = recorded.record.files.at(i);
        if (!recorded.matches.at(i) &&
            fileSha256Hex(folder + QLatin1Char('/') + file.path) != file.sha256)
            client.problem = QStringLiteral("%1 of %2 no longer matches its record")
                                 .arg(file.path, activeVersion);
    }
    if (client.problem.isEmpty()) {
        client.executable = executable;
        client.arguments = recorded.record.launchArgs;
    }
    return client;
}
