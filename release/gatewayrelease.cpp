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
} // namespace

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

    GatewayReleaseResult result;
    result.release = release;
    return result;
}
