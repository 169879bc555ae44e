#include "storage/gatewaystate.h"

#include "release/signature.h"
#include "release/version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSaveFile>

#include <openssl/rand.h>

namespace {
const QString kDemoEdition = QStringLiteral("demo");
bool wholeTimestamp(const QJsonValue &value, qint64 &seconds)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > double(kMaxSignatureTimestamp) ||
        number != double(qint64(number)))
        return false;
    seconds = qint64(number);
    return true;
}

QString trimmedStringMember(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString().trimmed() : QString();
}

GatewayStateLoadResult loadFailure(const QString &error)
{
    GatewayStateLoadResult result;
    result.error = error;
    return result;
}
} // namespace

GatewayStateLoadResult loadGatewayState(const QString &path)
{
    GatewayStateLoadResult result;
    if (!QFileInfo::exists(path))
        return result;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return loadFailure(
            QStringLiteral("Unable to open gateway state '%1': %2.").arg(path, file.errorString()));

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return loadFailure(
            QStringLiteral("Invalid gateway state JSON: %1.").arg(parseError.errorString()));
    if (!document.isObject())
        return loadFailure(QStringLiteral("Gateway state JSON root must be an object."));

    const QJsonObject root = document.object();
    const QJsonValue clients = root.value(QStringLiteral("clients"));
    if (clients.isObject()) {
        const QJsonObject clientsObject = clients.toObject();
        for (auto it = clientsObject.begin(); it != clientsObject.end(); ++it) {
            if (!it.value().isObject())
                continue;
            const QJsonObject entry = it.value().toObject();
            ClientInstallState install;
            install.activeVersion = trimmedStringMember(entry, QStringLiteral("activeVersion"));
            install.previousVersion = trimmedStringMember(entry, QStringLiteral("previousVersion"));
            install.acceptedMinimum = trimmedStringMember(entry, QStringLiteral("minimumVersion"));
            install.rolledBackFrom = trimmedStringMember(entry, QStringLiteral("rolledBackFrom"));
            result.state.clients.insert(it.key(), install);
        }
    }

    const QJsonValue dismissed = root.value(QStringLiteral("dismissedUpgradeMajorByEdition"));
    if (dismissed.isObject()) {
        const QJsonObject dismissedObject = dismissed.toObject();
        for (auto it = dismissedObject.begin(); it != dismissedObject.end(); ++it) {
            if (it.value().isString())
                result.state.dismissedUpgradeMajorByEdition.insert(it.key(),
                                                                   it.value().toString().trimmed());
        }
    }

    const QString installId = root.value(QStringLiteral("installId")).toString();
    static const QRegularExpression idForm(QStringLiteral("^[0-9a-f]{32}$"));
    if (idForm.match(installId).hasMatch())
        result.state.installId = installId;

    const QJsonObject launcher = root.value(QStringLiteral("launcher")).toObject();
    for (const QJsonValue &version : launcher.value(QStringLiteral("failedVersions")).toArray())
        if (version.isString() && !version.toString().trimmed().isEmpty())
            result.state.launcher.failedVersions.append(version.toString().trimmed());
    const QJsonObject starting = launcher.value(QStringLiteral("startsWithoutHealth")).toObject();
    result.state.launcher.startingVersion =
        trimmedStringMember(starting, QStringLiteral("version"));
    result.state.launcher.startsWithoutHealth =
        qBound(0, starting.value(QStringLiteral("count")).toInt(), 1000);

    const QJsonObject host = root.value(QStringLiteral("releaseHost")).toObject();
    result.state.releaseHost.url = trimmedStringMember(host, QStringLiteral("url"));
    wholeTimestamp(host.value(QStringLiteral("since")), result.state.releaseHost.sinceSecs);

    const QJsonObject timestamps = root.value(QStringLiteral("manifestTimestamps")).toObject();
    for (auto it = timestamps.begin(); it != timestamps.end(); ++it) {
        // A bare number is an entry of a file that named no key.
        qint64 seconds = 0;
        if (wholeTimestamp(it.value(), seconds))
            result.state.manifestTimestamps[it.key()].insert(QString(), seconds);
        const QJsonObject byKey = it.value().toObject();
        for (auto key = byKey.begin(); key != byKey.end(); ++key) {
            if (!key.key().isEmpty() && wholeTimestamp(key.value(), seconds))
                result.state.manifestTimestamps[it.key()].insert(key.key(), seconds);
        }
    }
    return result;
}

bool saveGatewayState(const QString &path, const GatewayState &state, QString *error)
{
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir(directory).exists() && !QDir().mkpath(directory)) {
        if (error)
            *error = QStringLiteral("Unable to create gateway state directory: %1.").arg(directory);
        return false;
    }

    QJsonObject clients;
    for (auto it = state.clients.cbegin(); it != state.clients.cend(); ++it) {
        QJsonObject entry;
        entry.insert(QStringLiteral("activeVersion"), it.value().activeVersion);
        entry.insert(QStringLiteral("previousVersion"), it.value().previousVersion);
        if (!it.value().acceptedMinimum.isEmpty())
            entry.insert(QStringLiteral("minimumVersion"), it.value().acceptedMinimum);
        if (!it.value().rolledBackFrom.isEmpty())
            entry.insert(QStringLiteral("rolledBackFrom"), it.value().rolledBackFrom);
        clients.insert(it.key(), entry);
    }
    QJsonObject dismissed;
    for (auto it = state.dismissedUpgradeMajorByEdition.cbegin();
         it != state.dismissedUpgradeMajorByEdition.cend(); ++it)
        dismissed.insert(it.key(), it.value());
    QJsonObject root;
    root.insert(QStringLiteral("clients"), clients);
    root.insert(QStringLiteral("dismissedUpgradeMajorByEdition"), dismissed);
    // Only signed builds remember timestamps; an unsigned build's file stays as it always was.
    QJsonObject timestamps;
    for (auto file = state.manifestTimestamps.cbegin(); file != state.manifestTimestamps.cend();
         ++file) {
        QJsonObject byKey;
        for (auto key = file->cbegin(); key != file->cend(); ++key) {
            if (key.key().isEmpty())
                timestamps.insert(file.key(), double(key.value()));
            else
                byKey.insert(key.key(), double(key.value()));
        }
        if (!byKey.isEmpty())
            timestamps.insert(file.key(), byKey);
    }
    if (!timestamps.isEmpty())
        root.insert(QStringLiteral("manifestTimestamps"), timestamps);
    if (!state.installId.isEmpty())
        root.insert(QStringLiteral("installId"), state.installId);
    if (!state.releaseHost.url.isEmpty())
        root.insert(QStringLiteral("releaseHost"),
                    QJsonObject{{"url", state.releaseHost.url},
                                {"since", double(state.releaseHost.sinceSecs)}});
    // Only a launcher that updated itself has this entry.
    if (!(state.launcher == LauncherUpdateState())) {
        QJsonObject launcher;
        if (!state.launcher.failedVersions.isEmpty())
            launcher.insert(QStringLiteral("failedVersions"),
                            QJsonArray::fromStringList(state.launcher.failedVersions));
        if (!state.launcher.startingVersion.isEmpty())
            launcher.insert(QStringLiteral("startsWithoutHealth"),
                            QJsonObject{{"version", state.launcher.startingVersion},
                                        {"count", state.launcher.startsWithoutHealth}});
        root.insert(QStringLiteral("launcher"), launcher);
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Unable to write gateway state '%1': %2.")
                         .arg(path, file.errorString());
        return false;
    }
    // A failed write makes the commit fail, which is reported below.
    file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        if (error)
            *error = QStringLiteral("Unable to commit gateway state '%1': %2.")
                         .arg(path, file.errorString());
        return false;
    }
    return true;
}

bool saveLauncherUpdateState(const QString &path, const LauncherUpdateState &launcher,
                             QString *error)
{
    // An unreadable file is replaced, as loading it would have been.
    const GatewayStateLoadResult loaded = loadGatewayState(path);
    GatewayState state = loaded.error.isEmpty() ? loaded.state : GatewayState();
    state.launcher = launcher;
    return saveGatewayState(path, state, error);
}

bool saveReleaseHostChoice(const QString &path, const ReleaseHostChoice &choice, QString *error)
{
    const GatewayStateLoadResult loaded = loadGatewayState(path);
    GatewayState state = loaded.error.isEmpty() ? loaded.state : GatewayState();
    if (state.releaseHost.url == choice.url && state.releaseHost.sinceSecs == choice.sinceSecs)
        return true;
    state.releaseHost = choice;
    return saveGatewayState(path, state, error);
}

bool saveAcceptedClientMinimum(const QString &path, const QString &productId,
                               const QString &minimum, QString *error)
{
    const GatewayStateLoadResult loaded = loadGatewayState(path);
    GatewayState state = loaded.error.isEmpty() ? loaded.state : GatewayState();
    if (!state.clients.contains(productId) ||
        state.clients.value(productId).acceptedMinimum == minimum)
        return true;
    state.clients[productId].acceptedMinimum = minimum;
    return saveGatewayState(path, state, error);
}

ClientInstallState clientInstallStateFor(const GatewayState &state, const QString &productId)
{
    return state.clients.value(productId);
}

void recordInstalledClientVersion(GatewayState &state, const QString &productId,
                                  const QString &version)
{
    if (productId.trimmed().isEmpty() || version.trimmed().isEmpty())
        return;
    ClientInstallState entry = state.clients.value(productId);
    if (version != entry.activeVersion) {
        entry.previousVersion = entry.activeVersion;
        entry.activeVersion = version;
    }
    state.clients.insert(productId, entry);
}

QStringList retainedClientVersions(const GatewayState &state, const QString &productId)
{
    const ClientInstallState entry = state.clients.value(productId);
    QStringList keep;
    if (!entry.activeVersion.trimmed().isEmpty())
        keep.append(entry.activeVersion);
    if (!entry.previousVersion.trimmed().isEmpty() && !keep.contains(entry.previousVersion))
        keep.append(entry.previousVersion);
    return keep;
}

void rememberDismissedUpgrade(GatewayState &state, const QString &edition,
                              const GatewayRelease &release)
{
    if (edition.trimmed().toLower() != kDemoEdition)
        return;
    const ReleaseVersion full = parseReleaseVersion(release.fullLatestVersion);
    if (!isValid(full))
        return;
    state.dismissedUpgradeMajorByEdition.insert(kDemoEdition, QString::number(full.major));
}

qint64 acceptedManifestTimestamp(const GatewayState &state, const QString &fileName,
                                 const QStringList &trustedKeyIds, qint64 nowSecs)
{
    qint64 newest = 0;
    const QMap<QString, qint64> byKey = state.manifestTimestamps.value(fileName);
    for (auto it = byKey.cbegin(); it != byKey.cend(); ++it) {
        const bool trusted = it.key().isEmpty() || trustedKeyIds.contains(it.key());
        if (trusted && it.value() <= nowSecs + kSignatureClockSkewSecs)
            newest = qMax(newest, it.value());
    }
    return newest;
}

bool rememberManifestTimestamp(GatewayState &state, const QString &fileName, const QString &keyId,
                               qint64 timestamp)
{
    QMap<QString, qint64> &byKey = state.manifestTimestamps[fileName];
    if (timestamp <= byKey.value(keyId, 0))
        return false;
    byKey.insert(keyId, timestamp);
    // Only accepted when not older than that entry, so nothing of it is lost.
    if (!keyId.isEmpty())
        byKey.remove(QString());
    return true;
}

void dropUntrustedTimestamps(GatewayState &state, const QStringList &trustedKeyIds, qint64 nowSecs)
{
    for (auto file = state.manifestTimestamps.begin(); file != state.manifestTimestamps.end();) {
        for (auto key = file->begin(); key != file->end();) {
            const bool trusted = key.key().isEmpty() || trustedKeyIds.contains(key.key());
            if (trusted && key.value() <= nowSecs + kSignatureClockSkewSecs)
                ++key;
            else
                key = file->erase(key);
        }
        file = file->isEmpty() ? state.manifestTimestamps.erase(file) : std::next(file);
    }
}

QString newInstallId()
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex());
}

bool isUpgradeOfferDue(const QString &edition, const GatewayRelease &release,
                       const GatewayState &state)
{
    if (edition.trimmed().toLower() != kDemoEdition || !release.hasUpgrade ||
        release.upgradeUrl.trimmed().isEmpty())
        return false;
    const ReleaseVersion full = parseReleaseVersion(release.fullLatestVersion);
    if (!isValid(full))
        return false;
    return QString::number(full.major) != state.dismissedUpgradeMajorByEdition.value(kDemoEdition);
}
