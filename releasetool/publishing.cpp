#include "releasetool/publishing.h"

#include "install/launchpath.h"
#include "install/zipextract.h"
#include "net/filedigest.h"
#include "net/requestinfo.h"
#include "release/binding.h"
#include "release/clientrelease.h"
#include "release/gatewayrelease.h"
#include "release/version.h"
#include "releasetool/objects.h"
#include "releasetool/packagecheck.h"
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
#include <QTemporaryDir>
#include <QUrl>

#include <sys/stat.h>
#include <zip.h>

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

// The manifest goes last, after its signature, so no one sees it before its
// artifact and its signature are in place.
QString writeManifest(const QString &path, const QJsonObject &manifest,
                      const ReleaseSecretKey &signingKey)
{
    const QByteArray data = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
    if (!signingKey.seed.isEmpty()) {
        const QString error = writeSignatureFor(path, data, signingKey);
        if (!error.isEmpty())
            return error;
    }
    return writeFileAtomically(path, data);
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
    if (resolveLaunchPath(staging, exePath, &error).isEmpty())
        return error;
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
    if (file.isEmpty() || !QFileInfo(file).isFile())
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
} // namespace

QString zipFolder(const QString &sourceFolder, const QString &zipPath)
{
    // Entry names are relative to the folder, however the folder was named.
    const QString folder = QFileInfo(sourceFolder).absoluteFilePath();
    int error = 0;
    QFile::remove(zipPath);
    zip_t *archive =
        zip_open(QFile::encodeName(zipPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return QStringLiteral("Unable to create '%1'.").arg(zipPath);
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    QStringList paths;
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const QByteArray name = QDir(folder).relativeFilePath(path).toUtf8();
        struct stat status;
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || info.isSymLink()) {
            zip_discard(archive);
            return QStringLiteral("Only plain files and folders can be packed: %1.").arg(path);
        }
        zip_int64_t index;
        if (info.isDir()) {
            index = zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t *source =
                zip_source_file(archive, QFile::encodeName(path).constData(), 0, -1);
            index = source ? zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8) : -1;
            if (index < 0 && source)
                zip_source_free(source);
        }
        if (index < 0 ||
            zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                             zip_uint32_t(status.st_mode) << 16) != 0) {
            zip_discard(archive);
            return QStringLiteral("Unable to add '%1' to the package.").arg(path);
        }
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        return QStringLiteral("Unable to write '%1'.").arg(zipPath);
    }
    return QString();
}

QString publishClient(const ClientPublication &p, QStringList *report)
{
    if (p.product.trimmed().isEmpty() || p.channel.trimmed().isEmpty() ||
        p.baseUrl.trimmed().isEmpty())
        return QStringLiteral("Product, channel and base URL are required.");
    QString error = checkVersions(QStringLiteral("Client"), p.version, p.minimumVersion);
    if (!error.isEmpty())
        return error;

    QTemporaryDir scratch;
    QString package = p.sourceZip;
    if (!p.sourceFolder.isEmpty()) {
        package = scratch.filePath(QStringLiteral("package.zip"));
        error = zipFolder(p.sourceFolder, package);
        if (!error.isEmpty())
            return error;
    }
    if (package.isEmpty())
        return QStringLiteral("A source folder or a ZIP package is required.");
    error = checkPackage(package, p.exePath, report);
    if (!error.isEmpty())
        return error;

    const QString product = p.product.trimmed();
    const QString version = p.version.trimmed();
    const QString relative = QStringLiteral("releases/clients/%1/%1_%2.zip").arg(product, version);
    const QString target = QDir(p.treeRoot).absoluteFilePath(relative);
    error = copyAtomically(package, target);
    if (!error.isEmpty())
        return error;

    QString digestError;
    const QString digest = fileSha256Hex(target, &digestError);
    if (digest.isEmpty())
        return digestError;
    QJsonObject artifact{{"url", joinUrl(p.baseUrl, relative)},
                         {"sha256", digest},
                         {"sizeBytes", double(QFileInfo(target).size())}};
    if (p.fileIndex) {
        // Each file once as an object, and the index that names them: the
        // objects go up before the manifest that leads to them.
        const QString productFolder =
            QDir(p.treeRoot).absoluteFilePath(QStringLiteral("releases/clients/%1").arg(product));
        int written = 0;
        FileIndexResult indexed =
            indexPackage(target, QDir(productFolder).absoluteFilePath(QStringLiteral("objects")),
                         p.zstdLevel, &written);
        if (!indexed.error.isEmpty())
            return indexed.error;
        indexed.index.product = product;
        indexed.index.version = version;
        const QString indexRelative =
            QStringLiteral("releases/clients/%1/%1_%2.files.json").arg(product, version);
        const QByteArray json = fileIndexJson(indexed.index);
        error = writeFileAtomically(QDir(p.treeRoot).absoluteFilePath(indexRelative), json);
        if (!error.isEmpty())
            return error;
        artifact.insert(
            QStringLiteral("files"),
            QJsonObject{
                {"url", joinUrl(p.baseUrl, indexRelative)},
                {"sha256", QString::fromLatin1(
                               QCryptographicHash::hash(json, QCryptographicHash::Sha256).toHex())},
                {"sizeBytes", double(json.size())}});
        note(report, QStringLiteral("wrote %1 (%2 files, %3 new objects)")
                         .arg(QDir(p.treeRoot).absoluteFilePath(indexRelative))
                         .arg(indexed.index.files.size())
                         .arg(written));
    }
    QJsonObject manifest{
        {"product", product},
        {"channel", p.channel.trimmed()},
        {"latestVersion", version},
        {"minimumVersion", p.minimumVersion.trimmed()},
        {"artifact", artifact},
        {"launch", QJsonObject{{"exePath", p.exePath.trimmed()},
                               {"args", QJsonArray::fromStringList(p.args)}}},
    };
    if (p.rollout.present)
        manifest.insert(QStringLiteral("rollout"), rolloutJson(p.rollout));
    const QString manifestPath =
        QDir(p.treeRoot)
            .absoluteFilePath(QStringLiteral("releases/manifests/client-%1.json").arg(product));
    error = writeManifest(manifestPath, manifest, p.signingKey);
    note(report, QStringLiteral("wrote %1 (%2 bytes, sha256 %3)")
                     .arg(target)
                     .arg(QFileInfo(target).size())
                     .arg(digest));
    note(report,
         QStringLiteral("wrote %1%2")
             .arg(manifestPath,
                  p.signingKey.seed.isEmpty() ? QString() : QStringLiteral(" and its signature")));
    return error;
}

QString publishGateway(const GatewayPublication &p, QStringList *report)
{
    if (p.edition.trimmed().isEmpty() || p.channel.trimmed().isEmpty() ||
        p.baseUrl.trimmed().isEmpty())
        return QStringLiteral("Edition, channel and base URL are required.");
    QString error = checkVersions(QStringLiteral("Gateway"), p.version, p.minimumVersion);
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
    if (!QFileInfo(p.installerFile).isFile())
        return QStringLiteral("Installer not found: %1.").arg(p.installerFile);

    const QString edition = p.edition.trimmed();
    const QString version = p.version.trimmed();
    const QString relative =
        QStringLiteral("releases/gateway/IvraGateway_%1_%2_Setup.exe").arg(edition, version);
    const QString target = QDir(p.treeRoot).absoluteFilePath(relative);
    error = copyAtomically(p.installerFile, target);
    if (!error.isEmpty())
        return error;
    QString digestError;
    const QString digest = fileSha256Hex(target, &digestError);
    if (digest.isEmpty())
        return digestError;
    QJsonObject manifest{
        {"product", p.product.trimmed()},
        {"edition", edition},
        {"channel", p.channel.trimmed()},
        {"latestVersion", version},
        {"minimumVersion", p.minimumVersion.trimmed()},
        {"installerUrl", joinUrl(p.baseUrl, relative)},
        {"installerSha256", digest},
    };
    if (offersUpgrade)
        manifest.insert("upgrade",
                        QJsonObject{{"url", p.upgradeUrl.trimmed()},
                                    {"fullLatestVersion", p.fullLatestVersion.trimmed()}});
    if (p.rollout.present)
        manifest.insert(QStringLiteral("rollout"), rolloutJson(p.rollout));
    const QString manifestPath =
        QDir(p.treeRoot)
            .absoluteFilePath(
                QStringLiteral("releases/manifests/gateway-%1.json").arg(edition.toLower()));
    error = writeManifest(manifestPath, manifest, p.signingKey);
    note(report, QStringLiteral("wrote %1 (sha256 %2)").arg(target, digest));
    note(report,
         QStringLiteral("wrote %1%2")
             .arg(manifestPath,
                  p.signingKey.seed.isEmpty() ? QString() : QStringLiteral(" and its signature")));
    return error;
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
        note(report,
             QStringLiteral("  ") + describeRollout(r.rollout, QDateTime::currentDateTimeUtc()));
        if (!isUsableUrl(QUrl::fromUserInput(r.installerUrl)))
            return QStringLiteral("Gateway update installer URL is invalid.");
        error = checkArtifact(treeFileFor(treeRoot, baseUrl, r.installerUrl), r.installerSha256, 0,
                              report);
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
        note(report,
             QStringLiteral("  ") + describeRollout(r.rollout, QDateTime::currentDateTimeUtc()));
        if (!isUsableUrl(QUrl::fromUserInput(r.artifactUrl)))
            return QStringLiteral("IVRA client artifact URL is invalid.");
        const QString package = treeFileFor(treeRoot, baseUrl, r.artifactUrl);
        error = checkArtifact(package, r.artifactSha256, r.artifactSizeBytes, report);
        if (error.isEmpty())
            error = checkPackage(package, r.launchExePath, report);
        if (error.isEmpty() && r.hasFileIndex) {
            const QString index = treeFileFor(treeRoot, baseUrl, r.fileIndexUrl);
            error = checkArtifact(index, r.fileIndexSha256, r.fileIndexSizeBytes, nullptr);
            if (error.isEmpty())
                error = checkFileIndex(index, package, report);
        }
        if (!error.isEmpty())
            return error;
    }
    return options.keys.isEmpty() ? QString() : checkTreeSignatures(treeRoot, options.keys, report);
}
