#include "storage/gatewaystate.h"

#include "release/version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSaveFile>

namespace {
const QString kDemoEdition = QStringLiteral("demo");

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

    const QJsonValue timestamps = root.value(QStringLiteral("manifestTimestamps"));
    if (timestamps.isObject()) {
        const QJsonObject timestampsObject = timestamps.toObject();
        for (auto it = timestampsObject.begin(); it != timestampsObject.end(); ++it) {
            // Whole, non-negative seconds only; anything else is as if never accepted.
            const double value = it.value().toDouble(-1);
            if (it.value().isDouble() && value >= 0 && value <= 9007199254740992.0 &&
                value == double(qint64(value)))
                result.state.manifestTimestamps.insert(it.key(), qint64(value));
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
    if (!state.manifestTimestamps.isEmpty()) {
        QJsonObject timestamps;
        for (auto it = state.manifestTimestamps.cbegin(); it != state.manifestTimestamps.cend();
             ++it)
            timestamps.insert(it.key(), double(it.value()));
        root.insert(QStringLiteral("manifestTimestamps"), timestamps);
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

qint64 acceptedManifestTimestamp(const GatewayState &state, const QString &fileName)
{
    return state.manifestTimestamps.value(fileName, 0);
}

bool rememberManifestTimestamp(GatewayState &state, const QString &fileName, qint64 timestamp)
{
    if (timestamp <= acceptedManifestTimestamp(state, fileName))
        return false;
    state.manifestTimestamps.insert(fileName, timestamp);
    return true;
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
