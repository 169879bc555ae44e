#include "releasetool/publishing.h"

#include "base/buildidentity.h"
#include "base/logging.h"
#include "install/launcherfolders.h"
#include "install/launchpath.h"
#include "install/zipextract.h"
#include "net/filedigest.h"
#include "net/requestinfo.h"
#include "release/binding.h"
#include "release/clientrelease.h"
#include "release/gatewayrelease.h"
#include "release/version.h"
#include "releasetool/launcherpackage.h"
#include "releasetool/objects.h"
#include "releasetool/packagecheck.h"
#include "releasetool/packaging.h"
#include "releasetool/rollouts.h"
#include "releasetool/signing.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>

#include <sys/stat.h>
#include <zip.h>

#include <thread>

namespace {
QString checkVersions(const QString &what, const QString &latest, const QString &minimum)
{
    const ReleaseVersion l = parseReleaseVersion(latest);
    const ReleaseVersion m = parseReleaseVersion(minimum);
    for (const QString &version : {latest, minimum}) {
        const QString error = checkCanonicalVersion(version);
        if (!error.isEmpty())
            return error;
    }
    if (!isAtLeast(l, m))
        return QStringLiteral("%1 manifest latest version is below minimum version.").arg(what);
    return QString();
}

QString copyAtomically(const QString &source, const QString &target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("Unable to read '%1': %2.").arg(source, in.errorString());
    QDir().mkpath(QFileInfo(target).absolutePath());
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        return QStringLiteral("Unable to write '%1': %2.").arg(target, out.errorString());
    QByteArray chunk;
    while (!(chunk = in.read(1 << 20)).isEmpty())
        out.write(chunk);
    if (!out.commit())
        return QStringLiteral("Unable to write '%1': %2.").arg(target, out.errorString());
    return QString();
}

QString joinUrl(const QString &base, const QString &path);
void note(QStringList *report, const QString &line);

// The manifest goes last, after its signature, so no one sees it before its
// artifact and its signature are in place. A manifest that would not change
// is not written again (nor signed anew).
QString writeManifestOnce(const QString &path, const QJsonObject &manifest,
                          const ReleaseSecretKey &signingKey, const ReleaseGuards &guards,
                          QStringList *report)
{
    QByteArray existing;
    const bool signedNow = QFileInfo::exists(path + QStringLiteral(".minisig"));
    if (readWholeFile(path, existing).isEmpty() &&
        QJsonDocument::fromJson(existing).object() == manifest &&
        (signedNow == !signingKey.seed.isEmpty())) {
        note(report, QStringLiteral("%1 is unchanged").arg(path));
        return QString();
    }
    const QByteArray data = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
    if (!signingKey.seed.isEmpty()) {
        const QString error = writeSignatureFor(path, data, signingKey);
        if (!error.isEmpty())
            return error;
    } else if (guards.unsignedManifest) {
        QFile::remove(path + QStringLiteral(".minisig"));
    }
    const QString error = writeFileAtomically(path, data);
    note(report, QStringLiteral("wrote %1%2")
                     .arg(path, signingKey.seed.isEmpty() ? QString()
                                                          : QStringLiteral(" and its signature")));
    return error;
}

// A tree whose manifests are signed never gets an unsigned one by mistake:
// every signed launcher would refuse it.
QString guardSignedTree(const QString &treeRoot, const ReleaseSecretKey &signingKey,
                        const ReleaseGuards &guards)
{
    if (!signingKey.seed.isEmpty() || guards.unsignedManifest)
        return QString();
    const QDir manifests(QDir(treeRoot).absoluteFilePath(QStringLiteral("releases/manifests")));
    for (const QString &name :
         manifests.entryList({QStringLiteral("*.json.minisig")}, QDir::Files, QDir::Name)) {
        QByteArray signature;
        readWholeFile(manifests.filePath(name), signature);
        const ReleaseSignatureResult parsed = parseReleaseSignature(signature);
        const QString key = parsed.error.isEmpty() ? keyIdText(parsed.signature.keyId)
                                                   : QStringLiteral("unreadable");
        return QStringLiteral("The manifests of this tree are signed (%1, key %2); signed "
                              "launchers refuse an unsigned one. Give --secret-key, or "
                              "--unsigned to publish it unsigned on purpose.")
            .arg(name, key);
    }
    return QString();
}

// A version below the published latest is most often a typo (1.0.1 for 1.0.10),
// and every launcher would go back to it.
QString guardDowngrade(const QString &manifestPath, const QString &version, const QString &what,
                       const ReleaseGuards &guards)
{
    QByteArray existing;
    if (guards.allowDowngrade || !readWholeFile(manifestPath, existing).isEmpty())
        return QString();
    const QString latest = QJsonDocument::fromJson(existing)
                               .object()
                               .value(QStringLiteral("latestVersion"))
                               .toString();
    const ReleaseVersion published = parseReleaseVersion(latest);
    if (!isValid(published) || isAtLeast(parseReleaseVersion(version), published))
        return QString();
    return QStringLiteral("Version %1 is below %2, the published latest of %3; every launcher "
                          "would go back to it. Give --allow-downgrade to publish it on purpose "
                          "(a rollback).")
        .arg(version, latest, what);
}

// The launch data of a version is part of it too: the manifest that publishes
// this version already has it.
QString guardLaunchData(const QString &manifestPath, const QString &version, const QString &exePath,
                        const QStringList &args, const ReleaseGuards &guards)
{
    QByteArray existing;
    if (guards.replace || !readWholeFile(manifestPath, existing).isEmpty())
        return QString();
    const QJsonObject manifest = QJsonDocument::fromJson(existing).object();
    if (manifest.value(QStringLiteral("latestVersion")).toString() != version)
        return QString();
    const QJsonObject launch = manifest.value(QStringLiteral("launch")).toObject();
    const QString publishedExe = launch.value(QStringLiteral("exePath")).toString();
    const QJsonArray publishedArgs = launch.value(QStringLiteral("args")).toArray();
    QString difference;
    if (publishedExe != exePath.trimmed())
        difference = QStringLiteral("launch file %1, not %2").arg(publishedExe, exePath.trimmed());
    else if (publishedArgs != QJsonArray::fromStringList(args))
        difference =
            QStringLiteral("arguments %1, not %2")
                .arg(QString::fromUtf8(QJsonDocument(publishedArgs).toJson(QJsonDocument::Compact)),
                     QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(args))
                                           .toJson(QJsonDocument::Compact)));
    if (difference.isEmpty())
        return QString();
    return QStringLiteral("Version %1 is already published with other launch data (%2). Publish "
                          "a new version, or give --replace.")
        .arg(version, difference);
}

void warnIfNotHttps(const QString &baseUrl, QStringList *report)
{
    if (QUrl(baseUrl.trimmed()).scheme() != QLatin1String("https"))
        note(report, QStringLiteral("warning: the base URL %1 is not https; launchers reach a "
                                    "release host over HTTPS only, and nothing else protects "
                                    "unsigned releases in transit")
                         .arg(baseUrl.trimmed()));
}

// The files of a published version: its index, or what its package holds.
QList<FileIndexEntry> publishedFiles(const QString &package, const QString &indexPath)
{
    QByteArray json;
    if (readWholeFile(indexPath, json).isEmpty()) {
        const FileIndexResult parsed = parseFileIndex(json);
        if (parsed.error.isEmpty())
            return parsed.index.files;
    }
    return indexPackage(package).index.files;
}

// The launch file, by the package's own paths: when it is missing, the
// executable files the package has, and the path with a top-level folder when
// everything sits in one.
QString launchFileProblem(const QList<std::pair<QString, bool>> &files, const QString &exePath)
{
    const QString wanted = QString(exePath).replace(QLatin1Char('\\'), QLatin1Char('/')).trimmed();
    QStringList executables;
    QSet<QString> tops;
    for (const auto &[path, executable] : files) {
        if (path == wanted)
            return QString();
        if (executable)
            executables << path;
        tops.insert(path.section(QLatin1Char('/'), 0, 0));
    }
    QString message = QStringLiteral("Client executable was not found: %1.").arg(wanted);
    if (tops.size() == 1 && !files.isEmpty() && files.first().first.contains(QLatin1Char('/'))) {
        const QString nested = *tops.cbegin() + QLatin1Char('/') + wanted;
        for (const auto &file : files)
            if (file.first == nested)
                message += QStringLiteral(" Every file sits in %1/: did you mean --exe %2?")
                               .arg(*tops.cbegin(), nested);
    }
    if (!executables.isEmpty())
        message += QStringLiteral(" The package's executable files: %1.")
                       .arg(executables.mid(0, 10).join(QStringLiteral(", ")));
    return message;
}

// The names of a folder by the launcher's rules, and its launch file.
QString checkFolderNames(const FolderContent &content, const QString &exePath)
{
    QHash<QString, QString> byFoldedName;
    QList<std::pair<QString, bool>> files;
    for (const PackedFile &file : content.files) {
        if (!isSafeZipEntryName(file.path))
            return QStringLiteral("Unsafe zip entry path: %1.").arg(file.path);
        const QString other = byFoldedName.value(file.path.toCaseFolded());
        if (!other.isEmpty())
            return QStringLiteral("Package entries %1 and %2 differ only in case; they would be "
                                  "one file on Windows and macOS.")
                .arg(other, file.path);
        byFoldedName.insert(file.path.toCaseFolded(), file.path);
        files.append({file.path, file.executable()});
    }
    // The launcher's own rules and messages first; a launch file that is not
    // there is named by its path in the package, with what could be meant.
    QString error;
    if (!resolveLaunchPath(content.root, exePath, &error).isEmpty())
        return QString();
    return error.startsWith(QLatin1String("Client executable was not found"))
               ? launchFileProblem(files, exePath)
               : error;
}

QString joinUrl(const QString &base, const QString &path)
{
    QString root = base.trimmed();
    while (root.endsWith(QLatin1Char('/')))
        root.chop(1);
    return root + QLatin1Char('/') + path;
}

void note(QStringList *report, const QString &line)
{
    if (report)
        report->append(line);
}

// A package the launcher accepts on every platform: it extracts cleanly and
// holds the launch file.
QString checkPackage(const QString &zipPath, const QString &exePath, QStringList *report)
{
    QString defect = inspectPackage(zipPath, exePath, report);
    if (!defect.isEmpty())
        return defect;
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return QStringLiteral("Unable to create a temporary folder.");
    const QString staging = scratch.filePath(QStringLiteral("staging"));
    QString error;
    if (!extractZipPayload(zipPath, staging, &error))
        return error;
    if (resolveLaunchPath(staging, exePath, &error).isEmpty()) {
        // Named by the package's own paths: the scratch folder is gone by the time anyone reads it.
        QList<std::pair<QString, bool>> files;
        QDirIterator it(staging, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            files.append({QDir(staging).relativeFilePath(path), QFileInfo(path).isExecutable()});
        }
        std::sort(files.begin(), files.end());
        const QString problem = launchFileProblem(files, exePath);
        return problem.isEmpty() ? error.replace(staging + QLatin1Char('/'), QString()) : problem;
    }
    note(report, QStringLiteral("  package extracts by the launcher's rules (%1 bytes unpacked), "
                                "launch file %2 found")
                     .arg(zipPayloadSize(zipPath))
                     .arg(exePath.trimmed()));
    return QString();
}

// The tree file that an artifact URL below baseUrl names.
QString treeFileFor(const QString &treeRoot, const QString &baseUrl, const QString &url)
{
    const QString prefix = joinUrl(baseUrl, QString());
    if (!url.startsWith(prefix))
        return QString();
    const QString relative = QUrl::fromPercentEncoding(url.mid(prefix.size()).toUtf8());
    if (!isSafeZipEntryName(relative))
        return QString();
    return QDir(treeRoot).absoluteFilePath(relative);
}

// The version tests of the launcher's decisions, with their messages.
QString checkManifestVersions(const QString &what, const QString &latest, const QString &minimum)
{
    if (!isValid(parseReleaseVersion(latest)) || !isValid(parseReleaseVersion(minimum)))
        return QStringLiteral("%1 manifest contains invalid version data.").arg(what);
    return checkVersions(what, latest, minimum);
}

// The launcher's own message, naming the manifest it is about.
QString checkChannel(const QString &manifestName, const QString &channel, const QString &wanted)
{
    const QString refused = checkReleaseChannel(channel, ReleaseBinding{wanted, QString()});
    return refused.isEmpty() ? refused : QStringLiteral("%1: %2").arg(manifestName, refused);
}

QString checkArtifact(const QString &file, const QString &sha256, qint64 size, QStringList *report)
{
    if (!QFileInfo(file).isFile())
        return QStringLiteral("Artifact is not in the release tree: %1.").arg(file);
    if (size > 0 && QFileInfo(file).size() != size)
        return QStringLiteral(
                   "Downloaded IVRA client size mismatch. Expected %1 bytes, received %2 bytes.")
            .arg(size)
            .arg(QFileInfo(file).size());
    QString error;
    const QString actual = fileSha256Hex(file, &error);
    if (actual.isEmpty())
        return error;
    if (QString::compare(actual, sha256.trimmed(), Qt::CaseInsensitive) != 0)
        return QStringLiteral("%1 checksum mismatch. Expected %2, received %3.")
            .arg(QFileInfo(file).fileName(), sha256, actual);
    note(report, QStringLiteral("  artifact %1: %2 bytes%3, sha256 %4 matches")
                     .arg(file)
                     .arg(QFileInfo(file).size())
                     .arg(size > 0 ? QStringLiteral(" as declared") : QString(), actual));
    return QString();
}

// The artifact a URL of a manifest names, found below the tree as the base URL maps it.
QString checkArtifactAt(const QString &treeRoot, const QString &baseUrl, const QString &url,
                        const QString &sha256, qint64 size, QStringList *report,
                        QString *file = nullptr)
{
    const QString path = treeFileFor(treeRoot, baseUrl, url);
    if (path.isEmpty())
        return QStringLiteral("Artifact %1 is not below the base URL %2: the manifest names a "
                              "file outside the release tree.")
            .arg(url, baseUrl.trimmed());
    if (file)
        *file = path;
    return checkArtifact(path, sha256, size, report);
}
// Writes the launcher package of a Gateway release below the tree (a
// published one stays as it is); its manifest entry, or the error.
QString publishLauncherPackage(const GatewayPublication &p, const QString &platform,
                               QJsonObject *entry, QStringList *report)
{
    const QString edition = p.edition.trimmed().toLower();
    const QString version = p.version.trimmed();
    QTemporaryDir scratch;
    QString source = p.packageZip;
    QString error;
    if (!p.packageFolder.isEmpty()) {
        source = scratch.filePath(QStringLiteral("package.zip"));
        error = scratch.isValid() ? zipFolder(p.packageFolder, source)
                                  : QStringLiteral("Unable to create a temporary folder.");
    }
    if (error.isEmpty())
        error = checkLauncherPackage(source, platform, version, edition, report);
    if (!error.isEmpty())
        return error;
    const QString relative = QStringLiteral("releases/gateway/%1/IvraGateway_%1_%2_%3.zip")
                                 .arg(edition, version, platform);
    const QString target = QDir(p.treeRoot).absoluteFilePath(relative);
    const QString digest = fileSha256Hex(source, &error);
    if (digest.isEmpty())
        return error;
    const QString published = QFileInfo::exists(target) ? fileSha256Hex(target) : QString();
    if (!published.isEmpty() && published != digest && !p.guards.replace)
        return QStringLiteral("Gateway %1 of the %2 edition is already published for %3 with "
                              "another package; launchers that fetched it would keep it. "
                              "Publish a new version, or give --replace.")
            .arg(version, edition, platform);
    if (published != digest) {
        error = copyAtomically(source, target);
        if (!error.isEmpty())
            return error;
        note(report, QStringLiteral("wrote %1 (%2 bytes, sha256 %3)")
                         .arg(target)
                         .arg(QFileInfo(target).size())
                         .arg(digest));
    }
    *entry = QJsonObject{{"url", joinUrl(p.baseUrl, relative)},
                         {"sha256", digest},
                         {"sizeBytes", double(QFileInfo(target).size())}};
    return QString();
}
// The minimum a release is published with: as given; else, under a staged
// rollout or for a launcher (keepPublished), the one already published
// (installs below the minimum are never held back, so the new version as
// minimum would reach them all; launchers below it that cannot replace
// themselves stop); else the new version itself. Empty on success.
QString resolveMinimum(const QString &manifestPath, const QString &version, const QString &given,
                       const ReleaseRollout &rollout, QString *minimum, bool keepPublished = false,
                       QStringList *report = nullptr)
{
    QByteArray existing;
    const bool published = readWholeFile(manifestPath, existing).isEmpty();
    const QString publishedMinimum = QJsonDocument::fromJson(existing)
                                         .object()
                                         .value(QStringLiteral("minimumVersion"))
                                         .toString()
                                         .trimmed();
    *minimum = given.trimmed();
    if (minimum->isEmpty())
        *minimum = (rollout.present || keepPublished) && !publishedMinimum.isEmpty()
                       ? publishedMinimum
                       : version;
    else if (keepPublished && !rollout.present && !publishedMinimum.isEmpty() &&
             *minimum == version && publishedMinimum != version)
        note(report, QStringLiteral("warning: --minimum %1 is the new version itself: launchers "
                                    "that cannot replace themselves (not installed per user) stop "
                                    "below it until they are updated by hand; %2 is the minimum "
                                    "published now")
                         .arg(version, publishedMinimum));
    if (rollout.present && published && *minimum == version)
        return QStringLiteral("A staged rollout never holds back an install below its minimum: "
                              "with --minimum %1, its own version, it would reach every install "
                              "at once. Give --minimum the oldest version still allowed to run "
                              "(%2 is published now), or publish without a rollout.")
            .arg(version, publishedMinimum.isEmpty() ? QStringLiteral("none") : publishedMinimum);
    return QString();
}
} // namespace

QStringList knownPlatforms()
{
    return {QStringLiteral("linux-x86_64"), QStringLiteral("linux-aarch64")};
}

QStringList knownProducts()
{
    return {clientProductIdForEdition(QStringLiteral("demo")),
            clientProductIdForEdition(QStringLiteral("full"))};
}

QStringList knownEditions()
{
    return {QStringLiteral("demo"), QStringLiteral("full")};
}

QString zipFolder(const QString &sourceFolder, const QString &zipPath)
{
    const FolderContent content = scanFolder(sourceFolder);
    return content.error.isEmpty() ? writePackage(content, zipPath) : content.error;
}

QString publishClient(const ClientPublication &p, QStringList *report)
{
    const QString product = p.product.trimmed();
    const QString version = p.version.trimmed();
    if (product.isEmpty() || p.channel.trimmed().isEmpty() || p.baseUrl.trimmed().isEmpty())
        return QStringLiteral("Product, channel and base URL are required.");
    if (!knownProducts().contains(product))
        return QStringLiteral("Product %1 is not one a launcher asks for; launchers ask for %2 "
                              "(the demo and the full edition).")
            .arg(product, knownProducts().join(QStringLiteral(" or ")));
    const QDir tree(p.treeRoot);
    const QString manifestPath =
        tree.absoluteFilePath(QStringLiteral("releases/manifests/client-%1.json").arg(product));
    QString minimum;
    QString error = resolveMinimum(manifestPath, version, p.minimumVersion, p.rollout, &minimum);
    if (error.isEmpty())
        error = checkVersions(QStringLiteral("Client"), p.version, minimum);
    if (!error.isEmpty())
        return error;
    warnIfNotHttps(p.baseUrl, report);
    error = guardSignedTree(p.treeRoot, p.signingKey, p.guards);
    if (error.isEmpty())
        error = guardDowngrade(manifestPath, version, QStringLiteral("client %1").arg(product),
                               p.guards);
    if (error.isEmpty())
        error = guardLaunchData(manifestPath, version, p.exePath, p.args, p.guards);
    if (!error.isEmpty())
        return error;

    // The release's files: read once, from the folder or from the package.
    FolderContent content;
    QList<FileIndexEntry> files;
    if (!p.sourceFolder.isEmpty()) {
        content = scanFolder(p.sourceFolder);
        if (!content.error.isEmpty())
            return content.error;
        error = checkFolderNames(content, p.exePath);
        if (!error.isEmpty())
            return error;
        files = indexOfContent(content);
    } else if (!p.sourceZip.isEmpty()) {
        error = checkPackage(p.sourceZip, p.exePath, report);
        if (error.isEmpty()) {
            const FileIndexResult indexed = indexPackage(p.sourceZip);
            error = indexed.error;
            files = indexed.index.files;
        }
        if (!error.isEmpty())
            return error;
    } else {
        return QStringLiteral("A source folder or a ZIP package is required.");
    }

    const QString relative = QStringLiteral("releases/clients/%1/%1_%2.zip").arg(product, version);
    const QString target = tree.absoluteFilePath(relative);
    const QString indexRelative =
        QStringLiteral("releases/clients/%1/%1_%2.files.json").arg(product, version);
    const QString indexPath = tree.absoluteFilePath(indexRelative);
    // A published version is immutable: installs that have it keep its files.
    bool published = false;
    if (QFileInfo::exists(target)) {
        const QString difference = firstDifference(publishedFiles(target, indexPath), files);
        if (!difference.isEmpty() && !p.guards.replace)
            return QStringLiteral("Version %1 of %2 is already published with other content "
                                  "(%3); installs that have it would keep the old files. Publish "
                                  "a new version, or give --replace.")
                .arg(version, product, difference);
        published = difference.isEmpty();
    }
    const QString objects =
        tree.absoluteFilePath(QStringLiteral("releases/clients/%1/objects").arg(product));
    int written = 0;
    if (!published) {
        const QString partial = target + QStringLiteral(".partial");
        QDir().mkpath(QFileInfo(target).absolutePath());
        if (!p.sourceFolder.isEmpty()) {
            // The package is written while the objects compress.
            QString packError;
            std::thread packer([&]() { packError = writePackage(content, partial); });
            if (p.fileIndex)
                error = writeObjects(content, objects, p.zstdLevel, files, &written);
            packer.join();
            if (error.isEmpty())
                error = packError;
        } else {
            error = copyAtomically(p.sourceZip, partial);
            if (error.isEmpty() && p.fileIndex) {
                const FileIndexResult indexed =
                    indexPackage(p.sourceZip, objects, p.zstdLevel, &written);
                error = indexed.error;
                files = indexed.index.files;
            }
        }
        if (error.isEmpty()) {
            QFile::remove(target);
            if (!QFile::rename(partial, target))
                error = QStringLiteral("Unable to write '%1'.").arg(target);
        }
        QFile::remove(partial);
        if (!error.isEmpty())
            return error;
    } else {
        note(report, QStringLiteral("%1 %2 is already published with the same files: nothing of "
                                    "it is written again")
                         .arg(product, version));
    }
    QString digestError;
    const QString digest = fileSha256Hex(target, &digestError);
    if (digest.isEmpty())
        return digestError;
    QJsonObject artifact{{"url", joinUrl(p.baseUrl, relative)},
                         {"sha256", digest},
                         {"sizeBytes", double(QFileInfo(target).size())}};
    if (p.fileIndex) {
        // The index of a version published before stays as it was; it lists the same files.
        QByteArray json;
        if (!published || !readWholeFile(indexPath, json).isEmpty() ||
            !parseFileIndex(json).error.isEmpty()) {
            FileIndex index;
            index.product = product;
            index.version = version;
            index.files = files;
            json = fileIndexJson(index);
            error = writeFileAtomically(indexPath, json);
            if (!error.isEmpty())
                return error;
            note(report, QStringLiteral("wrote %1 (%2, %3 new objects)")
                             .arg(indexPath, countOf(files.size(), "file", "files"))
                             .arg(written));
        }
        artifact.insert(
            QStringLiteral("files"),
            QJsonObject{
                {"url", joinUrl(p.baseUrl, indexRelative)},
                {"sha256", QString::fromLatin1(
                               QCryptographicHash::hash(json, QCryptographicHash::Sha256).toHex())},
                {"sizeBytes", double(json.size())}});
    }
    QJsonObject manifest{
        {"product", product},
        {"channel", p.channel.trimmed()},
        {"latestVersion", version},
        {"minimumVersion", minimum},
        {"artifact", artifact},
        {"launch", QJsonObject{{"exePath", p.exePath.trimmed()},
                               {"args", QJsonArray::fromStringList(p.args)}}},
    };
    if (p.rollout.present)
        manifest.insert(QStringLiteral("rollout"), rolloutJson(p.rollout));
    if (!published)
        note(report, QStringLiteral("wrote %1 (%2 bytes, sha256 %3)")
                         .arg(target)
                         .arg(QFileInfo(target).size())
                         .arg(digest));
    return writeManifestOnce(manifestPath, manifest, p.signingKey, p.guards, report);
}

QString publishGateway(const GatewayPublication &p, QStringList *report)
{
    const QString edition = p.edition.trimmed().toLower();
    const QString version = p.version.trimmed();
    if (edition.isEmpty() || p.channel.trimmed().isEmpty() || p.baseUrl.trimmed().isEmpty())
        return QStringLiteral("Edition, channel and base URL are required.");
    if (!knownEditions().contains(edition))
        return QStringLiteral("Edition %1 is not one a launcher is built as; the editions are %2.")
            .arg(p.edition.trimmed(), knownEditions().join(QStringLiteral(" and ")));
    QString minimum;
    QString error = resolveMinimum(
        QDir(p.treeRoot)
            .absoluteFilePath(QStringLiteral("releases/manifests/gateway-%1.json").arg(edition)),
        version, p.minimumVersion, p.rollout, &minimum, true, report);
    if (error.isEmpty())
        error = checkVersions(QStringLiteral("Gateway"), p.version, minimum);
    if (!error.isEmpty())
        return error;
    const bool offersUpgrade =
        !p.upgradeUrl.trimmed().isEmpty() || !p.fullLatestVersion.trimmed().isEmpty();
    if (offersUpgrade) {
        const QString fullError = checkCanonicalVersion(p.fullLatestVersion);
        if (!fullError.isEmpty())
            return fullError;
        if (!isUsableUrl(QUrl::fromUserInput(p.upgradeUrl.trimmed())))
            return QStringLiteral("Upgrade URL is not available.");
    }
    const bool hasPackage = !p.packageFolder.isEmpty() || !p.packageZip.isEmpty();
    if (p.installerFile.isEmpty() && !hasPackage)
        return QStringLiteral("gateway needs --installer, or a launcher package (--from-folder "
                              "or --from-zip).");
    if (!p.installerFile.isEmpty() && !QFileInfo(p.installerFile).isFile())
        return QStringLiteral("Installer not found: %1.").arg(p.installerFile);
    const QString platform =
        p.platform.trimmed().isEmpty()
            ? (launcherPlatform().isEmpty() ? knownPlatforms().first() : launcherPlatform())
            : p.platform.trimmed();
    if (hasPackage && !knownPlatforms().contains(platform))
        return QStringLiteral("Platform %1 is not one a launcher is built for; the platforms are "
                              "%2.")
            .arg(platform, knownPlatforms().join(QStringLiteral(" and ")));
    warnIfNotHttps(p.baseUrl, report);
    const QDir tree(p.treeRoot);
    const QString manifestPath =
        tree.absoluteFilePath(QStringLiteral("releases/manifests/gateway-%1.json").arg(edition));
    error = guardSignedTree(p.treeRoot, p.signingKey, p.guards);
    if (error.isEmpty())
        error = guardDowngrade(manifestPath, version, QStringLiteral("the %1 Gateway").arg(edition),
                               p.guards);
    if (!error.isEmpty())
        return error;

    // The same version published for another platform, or with an
    // installer, keeps what it has: one command a platform.
    QByteArray existing;
    QJsonObject previous;
    if (readWholeFile(manifestPath, existing).isEmpty())
        previous = QJsonDocument::fromJson(existing).object();
    if (previous.value(QStringLiteral("latestVersion")).toString() != version)
        previous = QJsonObject();
    QJsonObject packages = previous.value(QStringLiteral("packages")).toObject();
    if (hasPackage) {
        QJsonObject entry;
        error = publishLauncherPackage(p, platform, &entry, report);
        if (!error.isEmpty())
            return error;
        packages.insert(platform, entry);
    }
    QString installerUrl = previous.value(QStringLiteral("installerUrl")).toString();
    QString digestOfNew = previous.value(QStringLiteral("installerSha256")).toString();
    if (!p.installerFile.isEmpty()) {
        const QString relative =
            QStringLiteral("releases/gateway/IvraGateway_%1_%2_Setup.exe").arg(edition, version);
        const QString target = tree.absoluteFilePath(relative);
        digestOfNew = fileSha256Hex(p.installerFile, &error);
        if (digestOfNew.isEmpty())
            return error;
        const bool exists = QFileInfo::exists(target);
        const QString digestPublished = exists ? fileSha256Hex(target) : QString();
        if (exists && digestPublished != digestOfNew && !p.guards.replace)
            return QStringLiteral("Gateway %1 of the %2 edition is already published with "
                                  "another installer; launchers that fetched it would keep it. "
                                  "Publish a new version, or give --replace.")
                .arg(version, edition);
        if (digestPublished != digestOfNew) {
            error = copyAtomically(p.installerFile, target);
            if (!error.isEmpty())
                return error;
            note(report, QStringLiteral("wrote %1 (sha256 %2)").arg(target, digestOfNew));
        }
        installerUrl = joinUrl(p.baseUrl, relative);
    } else if (installerUrl.isEmpty()) {
        // The manifest's installer fields are required: builds with no
        // package for their platform are pointed at this one.
        const QJsonObject entry = packages.value(platform).toObject();
        installerUrl = entry.value(QStringLiteral("url")).toString();
        digestOfNew = entry.value(QStringLiteral("sha256")).toString();
        note(report, QStringLiteral("warning: no --installer: launchers without a package for "
                                    "their platform are offered the %1 package, which they "
                                    "cannot run")
                         .arg(platform));
    }
    QJsonObject manifest{
        {"product", p.product.trimmed()}, {"edition", edition},
        {"channel", p.channel.trimmed()}, {"latestVersion", version},
        {"minimumVersion", minimum},      {"installerUrl", installerUrl},
        {"installerSha256", digestOfNew},
    };
    if (!packages.isEmpty())
        manifest.insert(QStringLiteral("packages"), packages);
    if (offersUpgrade)
        manifest.insert("upgrade",
                        QJsonObject{{"url", p.upgradeUrl.trimmed()},
                                    {"fullLatestVersion", p.fullLatestVersion.trimmed()}});
    if (p.rollout.present)
        manifest.insert(QStringLiteral("rollout"), rolloutJson(p.rollout));
    return writeManifestOnce(manifestPath, manifest, p.signingKey, p.guards, report);
}

QString checkReleaseTree(const QString &treeRoot, const QString &baseUrl,
                         const TreeCheckOptions &options, QStringList *report)
{
    const QDir manifests(QDir(treeRoot).absoluteFilePath(QStringLiteral("releases/manifests")));
    const QStringList gateways =
        manifests.entryList({QStringLiteral("gateway-*.json")}, QDir::Files, QDir::Name);
    const QStringList clients =
        manifests.entryList({QStringLiteral("client-*.json")}, QDir::Files, QDir::Name);
    if (gateways.isEmpty() && clients.isEmpty())
        return QStringLiteral("No manifests in %1.").arg(manifests.path());

    QByteArray content;
    for (const QString &name : gateways) {
        QString error = readWholeFile(manifests.filePath(name), content);
        if (!error.isEmpty())
            return error;
        const GatewayReleaseResult result = parseGatewayRelease(content);
        if (!isValid(result))
            return QStringLiteral("Unable to read Gateway release manifest: %1").arg(result.error);
        const GatewayRelease &r = result.release;
        if (QStringLiteral("gateway-%1.json").arg(r.edition.toLower()) != name)
            return QStringLiteral("Gateway manifest edition '%1' does not match its file name %2.")
                .arg(r.edition, name);
        error = checkManifestVersions(QStringLiteral("Gateway"), r.latestVersion, r.minimumVersion);
        if (!error.isEmpty())
            return error;
        error = checkChannel(name, r.channel, options.channel);
        if (!error.isEmpty())
            return error;
        note(report, QStringLiteral("manifest %1: Gateway %2 %3 (minimum %4)")
                         .arg(name, r.edition, r.latestVersion, r.minimumVersion));
        if (r.rollout.present && r.minimumVersion == r.latestVersion)
            note(report, QStringLiteral("warning: the rollout of %1 reaches every install at "
                                        "once: installs below the minimum are never held back, "
                                        "and its minimum is its own version")
                             .arg(name));
        note(report,
             QStringLiteral("  ") + describeRollout(r.rollout, QDateTime::currentDateTimeUtc()));
        if (!isUsableUrl(QUrl::fromUserInput(r.installerUrl)))
            return QStringLiteral("Gateway update installer URL is invalid.");
        error = checkArtifactAt(treeRoot, baseUrl, r.installerUrl, r.installerSha256, 0, report);
        for (auto it = r.packages.cbegin(); error.isEmpty() && it != r.packages.cend(); ++it) {
            QString package;
            if (!knownPlatforms().contains(it.key()))
                note(report, QStringLiteral("warning: %1 names a package for %2, a platform no "
                                            "launcher is built for")
                                 .arg(name, it.key()));
            // The installer of a Linux launcher is its package: said once.
            error = checkArtifactAt(treeRoot, baseUrl, it->url, it->sha256, it->sizeBytes,
                                    it->url == r.installerUrl ? nullptr : report, &package);
            if (error.isEmpty())
                error = checkLauncherPackage(package, it.key(), r.latestVersion, r.edition, report);
        }
        if (!error.isEmpty())
            return error;
        if (r.hasUpgrade && !isValid(parseReleaseVersion(r.fullLatestVersion)))
            return parseReleaseVersion(r.fullLatestVersion).error;
    }
    for (const QString &name : clients) {
        QString error = readWholeFile(manifests.filePath(name), content);
        if (!error.isEmpty())
            return error;
        const ClientReleaseResult result = parseClientRelease(content);
        if (!isValid(result))
            return QStringLiteral("Unable to read IVRA client manifest: %1").arg(result.error);
        const ClientRelease &r = result.release;
        if (QStringLiteral("client-%1.json").arg(r.product) != name)
            return QStringLiteral("Client manifest product '%1' does not match its file name %2.")
                .arg(r.product, name);
        error = checkManifestVersions(QStringLiteral("Client"), r.latestVersion, r.minimumVersion);
        if (!error.isEmpty())
            return error;
        error = checkChannel(name, r.channel, options.channel);
        if (!error.isEmpty())
            return error;
        note(report, QStringLiteral("manifest %1: client %2 %3 (minimum %4)")
                         .arg(name, r.product, r.latestVersion, r.minimumVersion));
        if (r.rollout.present && r.minimumVersion == r.latestVersion)
            note(report, QStringLiteral("warning: the rollout of %1 reaches every install at "
                                        "once: installs below the minimum are never held back, "
                                        "and its minimum is its own version")
                             .arg(name));
        note(report,
             QStringLiteral("  ") + describeRollout(r.rollout, QDateTime::currentDateTimeUtc()));
        if (!isUsableUrl(QUrl::fromUserInput(r.artifactUrl)))
            return QStringLiteral("IVRA client artifact URL is invalid.");
        QString package;
        error = checkArtifactAt(treeRoot, baseUrl, r.artifactUrl, r.artifactSha256,
                                r.artifactSizeBytes, report, &package);
        if (error.isEmpty())
            error = checkPackage(package, r.launchExePath, report);
        if (error.isEmpty() && r.hasFileIndex) {
            QString index;
            error = checkArtifactAt(treeRoot, baseUrl, r.fileIndexUrl, r.fileIndexSha256,
                                    r.fileIndexSizeBytes, nullptr, &index);
            if (error.isEmpty())
                error = checkFileIndex(index, package, report);
        }
        if (!error.isEmpty())
            return error;
    }
    // Launchers of an edition ask for its Gateway manifest first.
    for (const QString &name : clients) {
        const QString edition = name.mid(QStringLiteral("client-ivra-").size()).chopped(5);
        if (name.startsWith(QLatin1String("client-ivra-")) &&
            !gateways.contains(QStringLiteral("gateway-%1.json").arg(edition)))
            note(report, QStringLiteral("warning: %1 has no Gateway release beside it "
                                        "(gateway-%2.json): launchers of the %2 edition stop at "
                                        "\"Release service returned HTTP 404.\" before they look "
                                        "for the client; publish one with `ivra-release gateway "
                                        "--edition %2`")
                             .arg(name, edition));
    }
    return options.keys.isEmpty() ? QString() : checkTreeSignatures(treeRoot, options.keys, report);
}
