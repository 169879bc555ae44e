#include "releasetool/push.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {
const QString kArtifactCaching =
    QStringLiteral("Cache-Control: public, max-age=31536000, immutable");
const QString kManifestCaching = QStringLiteral("Cache-Control: no-cache");

struct RcloneRun
{
    QString error; // the program could not run, or it failed
    QByteArray output;
    QString said; // the last lines it wrote to standard error
};

// An rclone command; output is its standard output. A failure carries the
// last lines of what it said, which never hold credentials.
RcloneRun rclone(const PushOptions &options, QStringList arguments, bool failureIsError = true)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // rclone 1.60 refuses AWS_CA_BUNDLE with its S3 backend ("unsupported
    // transport"); its own flag takes the same file.
    const QString bundle = environment.value(QStringLiteral("AWS_CA_BUNDLE"));
    if (!bundle.isEmpty()) {
        environment.remove(QStringLiteral("AWS_CA_BUNDLE"));
        arguments << QStringLiteral("--ca-cert") << bundle;
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(options.rclone, arguments);
    RcloneRun run;
    if (!process.waitForStarted()) {
        run.error = QStringLiteral("rclone could not be started (%1): push uploads with it; on "
                                   "Debian: apt install rclone.")
                        .arg(process.errorString());
        return run;
    }
    process.waitForFinished(-1);
    run.output = process.readAllStandardOutput();
    QStringList said = QString::fromUtf8(process.readAllStandardError())
                           .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    said.removeIf([](const QString &line) { return line.contains(QLatin1String("NOTICE")); });
    run.said = said.mid(qMax(0, int(said.size()) - 3)).join(QStringLiteral(" / "));
    if (failureIsError && (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0))
        run.error = QStringLiteral("rclone %1 failed (exit %2): %3")
                        .arg(arguments.value(0))
                        .arg(process.exitCode())
                        .arg(run.said);
    return run;
}

QString destinationPath(const PushOptions &options, const QString &relative)
{
    QString destination = options.destination;
    if (!destination.endsWith(QLatin1Char('/')) && !destination.endsWith(QLatin1Char(':')))
        destination += QLatin1Char('/');
    return destination + relative;
}

// The files as rclone takes them: a list for copy (--files-from), and the
// same as anchored filter rules for check (--include-from), which then lists
// the destination whole, as some S3-compatible servers need.
bool writeList(const QString &path, const QStringList &files)
{
    QFile list(path);
    QFile filter(path + QStringLiteral(".filter"));
    if (!list.open(QIODevice::WriteOnly) || !filter.open(QIODevice::WriteOnly))
        return false;
    static const QRegularExpression special(QStringLiteral("([\\\\*?\\[\\]{}])"));
    for (const QString &file : files) {
        list.write(file.toUtf8() + '\n');
        filter.write('/' + QString(file).replace(special, QStringLiteral("\\\\\\1")).toUtf8() +
                     '\n');
    }
    return list.flush() && filter.flush();
}

// How each listed file of the tree stands at the destination: '=' the same
// bytes, '*' other bytes, '+' missing (rclone compares size and MD5, or size
// alone where the storage keeps no MD5).
QString compare(const PushOptions &options, const QString &listPath, QMap<QString, QChar> *standing)
{
    const QString combined = QFileInfo(listPath).absolutePath() + QStringLiteral("/combined.txt");
    const RcloneRun run =
        rclone(options,
               {QStringLiteral("check"), options.treeRoot, options.destination,
                QStringLiteral("--one-way"), QStringLiteral("--fast-list"),
                QStringLiteral("--include-from"), listPath + QStringLiteral(".filter"),
                QStringLiteral("--combined"), combined, QStringLiteral("--log-level"),
                QStringLiteral("ERROR")},
               false);
    if (!run.error.isEmpty())
        return run.error;
    QFile file(combined);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return QStringLiteral("Unable to compare the tree with %1: %2")
            .arg(options.destination, run.said);
    standing->clear();
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.size() < 3)
            continue;
        const QString path = QString::fromUtf8(line.mid(2));
        if (line.at(0) == '!')
            return QStringLiteral("Unable to compare %1 with %2.")
                .arg(path, destinationPath(options, path));
        standing->insert(path, QChar::fromLatin1(line.at(0)));
    }
    return QString();
}

// The manifests as the destination holds them now: path -> size and MD5.
QString remoteManifests(const PushOptions &options, QMap<QString, QString> *manifests)
{
    const RcloneRun run = rclone(
        options,
        {QStringLiteral("lsjson"), destinationPath(options, QStringLiteral("releases/manifests")),
         QStringLiteral("--hash"), QStringLiteral("--files-only"), QStringLiteral("--fast-list")},
        false);
    if (!run.error.isEmpty())
        return run.error;
    manifests->clear();
    for (const QJsonValue &value : QJsonDocument::fromJson(run.output).array()) {
        const QJsonObject entry = value.toObject();
        manifests->insert(entry.value(QStringLiteral("Path")).toString(),
                          QStringLiteral("%1 %2")
                              .arg(entry.value(QStringLiteral("Size")).toInteger())
                              .arg(entry.value(QStringLiteral("Hashes"))
                                       .toObject()
                                       .value(QStringLiteral("md5"))
                                       .toString()));
    }
    return QString();
}

QString upload(const PushOptions &options, const QString &listPath, const QStringList &headers)
{
    QStringList arguments{QStringLiteral("copy"),
                          options.treeRoot,
                          options.destination,
                          QStringLiteral("--files-from"),
                          listPath,
                          QStringLiteral("--no-check-dest"),
                          QStringLiteral("--transfers"),
                          QStringLiteral("8"),
                          QStringLiteral("--log-level"),
                          QStringLiteral("ERROR")};
    for (const QString &header : headers)
        arguments << QStringLiteral("--header-upload") << header;
    return rclone(options, arguments).error;
}
} // namespace

bool isPublishedLast(const QString &relativePath)
{
    return relativePath.startsWith(QLatin1String("releases/manifests/"));
}

QString pushReleaseTree(const PushOptions &options, QStringList *report)
{
    const QDir tree(options.treeRoot);
    if (!tree.exists(QStringLiteral("releases/manifests")))
        return QStringLiteral("%1 is not a release tree: it has no releases/manifests.")
            .arg(options.treeRoot);
    QStringList artifacts;
    QStringList last;
    QMap<QString, qint64> sizes;
    QDirIterator files(options.treeRoot, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString relative = tree.relativeFilePath(files.next());
        // What a publish stopped half way left behind is no release's.
        if (relative.endsWith(QLatin1String(".tmp")))
            continue;
        (isPublishedLast(relative) ? last : artifacts) << relative;
        sizes.insert(relative, files.fileInfo().size());
    }
    artifacts.sort();
    last.sort();
    // Signatures before the manifests they sign.
    std::stable_sort(last.begin(), last.end(), [](const QString &a, const QString &b) {
        return a.endsWith(QLatin1String(".minisig")) && !b.endsWith(QLatin1String(".minisig"));
    });

    QTemporaryDir work;
    const QString allList = work.filePath(QStringLiteral("all.txt"));
    if (!work.isValid() || !writeList(allList, artifacts + last))
        return QStringLiteral("Unable to write the push's file lists.");
    QMap<QString, QString> manifestsRead;
    QString error = remoteManifests(options, &manifestsRead);
    QMap<QString, QChar> standing;
    if (error.isEmpty())
        error = compare(options, allList, &standing);
    if (!error.isEmpty())
        return error;

    QStringList refused;
    QStringList missing;
    qint64 missingBytes = 0;
    for (const QString &artifact : artifacts) {
        const QChar state = standing.value(artifact, QLatin1Char('+'));
        if (state == QLatin1Char('*'))
            refused << artifact;
        else if (state != QLatin1Char('=')) {
            missing << artifact;
            missingBytes += sizes.value(artifact);
        }
    }
    QStringList changed;
    for (const QString &file : last)
        if (standing.value(file, QLatin1Char('+')) != QLatin1Char('='))
            changed << file;
    for (const QString &artifact : refused)
        report->append(QStringLiteral("refused: %1 holds other bytes")
                           .arg(destinationPath(options, artifact)));
    if (!refused.isEmpty())
        return QStringLiteral("%1 at %2 already hold other bytes under the same name: nothing was "
                              "pushed. A published file never changes; publish a new version. (A "
                              "push cut short on storage whose uploads are not atomic, such as "
                              "SFTP, leaves such a file: if no manifest names it, delete it and "
                              "push again.)")
            .arg(refused.size() == 1 ? QStringLiteral("1 artifact")
                                     : QStringLiteral("%1 artifacts").arg(refused.size()),
                 options.destination);
    report->append(QStringLiteral("push: %1 of %2 artifacts already at %3; %4 to upload (%5 "
                                  "bytes), then %6 manifests and signatures")
                       .arg(artifacts.size() - missing.size())
                       .arg(artifacts.size())
                       .arg(options.destination)
                       .arg(missing.size())
                       .arg(missingBytes)
                       .arg(changed.size()));
    if (options.dryRun) {
        for (const QString &file : missing + changed)
            report->append(QStringLiteral("would upload %1").arg(file));
        return QString();
    }

    if (!missing.isEmpty()) {
        const QString list = work.filePath(QStringLiteral("artifacts.txt"));
        if (!writeList(list, missing))
            return QStringLiteral("Unable to write the push's file lists.");
        error = upload(options, list, {kArtifactCaching});
        // Only what is there with the right bytes lets a manifest name it.
        QMap<QString, QChar> uploaded;
        if (error.isEmpty())
            error = compare(options, list, &uploaded);
        for (const QString &artifact : missing)
            if (error.isEmpty() && uploaded.value(artifact) != QLatin1Char('='))
                error = QStringLiteral("%1 is not at %2 after its upload: no manifest was pushed.")
                            .arg(artifact, destinationPath(options, artifact));
        if (!error.isEmpty())
            return error;
        report->append(QStringLiteral("push: uploaded %1 artifacts, each checked at %2")
                           .arg(missing.size())
                           .arg(options.destination));
    }

    // Another publisher's manifest written meanwhile would be lost under ours.
    QMap<QString, QString> manifestsNow;
    error = remoteManifests(options, &manifestsNow);
    if (!error.isEmpty())
        return error;
    if (manifestsNow != manifestsRead)
        return QStringLiteral("The manifests at %1 changed while this push ran (another "
                              "publisher?): the artifacts are uploaded, no manifest was written. "
                              "Bring that release into this tree and push again.")
            .arg(options.destination);
    for (const QString &file : changed) {
        const QString list = work.filePath(QStringLiteral("last.txt"));
        const bool signature = file.endsWith(QLatin1String(".minisig"));
        if (!writeList(list, {file}))
            return QStringLiteral("Unable to write the push's file lists.");
        error = upload(
            options, list,
            {kManifestCaching, signature ? QStringLiteral("Content-Type: text/plain; charset=utf-8")
                                         : QStringLiteral("Content-Type: application/json")});
        if (!error.isEmpty())
            return error;
        report->append(QStringLiteral("push: uploaded %1").arg(file));
    }
    return QString();
}
