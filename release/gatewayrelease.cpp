#include "release/gatewayrelease.h"

#include "release/fieldreaders.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {
GatewayReleaseResult failed(const QString &error)
{
    GatewayReleaseResult result;
    result.error = error;
    return result;
}

QString readPackages(const QJsonObject &root, QMap<QString, LauncherPackage> &packages)
{
    const QString key = QStringLiteral("packages");
    if (!root.contains(key))
        return QString();
    if (!root.value(key).isObject())
        return QStringLiteral("Optional field 'packages' must be an object.");
    const QJsonObject platforms = root.value(key).toObject();
    for (auto it = platforms.begin(); it != platforms.end(); ++it) {
        QJsonObject package;
        QString error = readRequiredObject(platforms, it.key(), package);
        LauncherPackage read;
        if (error.isEmpty())
            error = readRequiredString(package, QStringLiteral("url"), read.url);
        if (error.isEmpty())
            error = readRequiredString(package, QStringLiteral("sha256"), read.sha256);
        if (error.isEmpty())
            error = readRequiredNonNegativeInteger(package, QStringLiteral("sizeBytes"),
                                                   read.sizeBytes);
        if (!error.isEmpty())
            return QStringLiteral("Invalid launcher package metadata: %1").arg(error);
        packages.insert(it.key(), read);
    }
    return QString();
}
} // namespace

QString launcherPlatform()
{
#if defined(Q_OS_LINUX) && defined(Q_PROCESSOR_X86_64)
    return QStringLiteral("linux-x86_64");
#elif defined(Q_OS_LINUX) && defined(Q_PROCESSOR_ARM_64)
    return QStringLiteral("linux-aarch64");
#else
    return QString();
#endif
}

bool isValid(const GatewayReleaseResult &result)
{
    return result.error.isEmpty();
}

GatewayReleaseResult parseGatewayRelease(const QByteArray &body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failed(
            QStringLiteral("Invalid gateway release JSON: %1.").arg(parseError.errorString()));
    if (!document.isObject())
        return failed(QStringLiteral("Gateway release JSON root must be an object."));

    const QJsonObject root = document.object();
    GatewayRelease release;
    const std::pair<const char *, QString *> required[] = {
        {"product", &release.product},
        {"edition", &release.edition},
        {"channel", &release.channel},
        {"latestVersion", &release.latestVersion},
        {"minimumVersion", &release.minimumVersion},
        {"installerUrl", &release.installerUrl},
        {"installerSha256", &release.installerSha256},
    };
    for (const auto &[key, destination] : required) {
        const QString error = readRequiredString(root, QLatin1String(key), *destination);
        if (!error.isEmpty())
            return failed(error);
    }

    const QString upgradeKey = QStringLiteral("upgrade");
    if (root.contains(upgradeKey)) {
        const QJsonValue upgradeValue = root.value(upgradeKey);
        if (upgradeValue.type() != QJsonValue::Object)
            return failed(QStringLiteral("Optional field 'upgrade' must be an object."));
        release.hasUpgrade = true;
        const QJsonObject upgrade = upgradeValue.toObject();
        QString error = readRequiredString(upgrade, QStringLiteral("url"), release.upgradeUrl);
        if (error.isEmpty())
            error = readRequiredString(upgrade, QStringLiteral("fullLatestVersion"),
                                       release.fullLatestVersion);
        if (!error.isEmpty())
            return failed(QStringLiteral("Invalid upgrade metadata: %1").arg(error));
    }

    const QString rolloutError = readOptionalRollout(root, release.rollout);
    if (!rolloutError.isEmpty())
        return failed(rolloutError);
    const QString packagesError = readPackages(root, release.packages);
    if (!packagesError.isEmpty())
        return failed(packagesError);

    GatewayReleaseResult result;
    result.release = release;
    return result;
}
