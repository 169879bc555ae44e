#include "release/clientrelease.h"

#include "release/fieldreaders.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {
ClientReleaseResult failed(const QString &error)
{
    ClientReleaseResult result;
    result.error = error;
    return result;
}
} // namespace

bool isValid(const ClientReleaseResult &result)
{
    return result.error.isEmpty();
}

ClientReleaseResult parseClientRelease(const QByteArray &body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failed(
            QStringLiteral("Invalid client release JSON: %1.").arg(parseError.errorString()));
    if (!document.isObject())
        return failed(QStringLiteral("Client release JSON root must be an object."));

    const QJsonObject root = document.object();
    ClientRelease release;
    const std::pair<const char *, QString *> required[] = {
        {"product", &release.product},
        {"channel", &release.channel},
        {"latestVersion", &release.latestVersion},
        {"minimumVersion", &release.minimumVersion},
    };
    for (const auto &[key, destination] : required) {
        const QString error = readRequiredString(root, QLatin1String(key), *destination);
        if (!error.isEmpty())
            return failed(error);
    }

    QJsonObject artifact;
    QString error = readRequiredObject(root, QStringLiteral("artifact"), artifact);
    if (!error.isEmpty())
        return failed(error);
    error = readRequiredString(artifact, QStringLiteral("url"), release.artifactUrl);
    if (error.isEmpty())
        error = readRequiredString(artifact, QStringLiteral("sha256"), release.artifactSha256);
    if (error.isEmpty())
        error = readRequiredNonNegativeInteger(artifact, QStringLiteral("sizeBytes"),
                                               release.artifactSizeBytes);
    if (!error.isEmpty())
        return failed(QStringLiteral("Invalid artifact metadata: %1").arg(error));
    // Optional and never a reason to refuse a manifest: a launcher without
    // differential updates ignores it, and an unusable one means no index.
    const QJsonObject files = artifact.value(QStringLiteral("files")).toObject();
    release.hasFileIndex =
        readRequiredString(files, QStringLiteral("url"), release.fileIndexUrl).isEmpty() &&
        readRequiredString(files, QStringLiteral("sha256"), release.fileIndexSha256).isEmpty() &&
        readRequiredNonNegativeInteger(files, QStringLiteral("sizeBytes"),
                                       release.fileIndexSizeBytes)
            .isEmpty() &&
        release.fileIndexSizeBytes > 0;

    QJsonObject launch;
    error = readRequiredObject(root, QStringLiteral("launch"), launch);
    if (!error.isEmpty())
        return failed(error);
    error = readRequiredString(launch, QStringLiteral("exePath"), release.launchExePath);
    if (error.isEmpty())
        error = readRequiredStringList(launch, QStringLiteral("args"), release.launchArgs);
    if (!error.isEmpty())
        return failed(QStringLiteral("Invalid launch metadata: %1").arg(error));

    const QString rolloutError = readOptionalRollout(root, release.rollout);
    if (!rolloutError.isEmpty())
        return failed(rolloutError);

    ClientReleaseResult result;
    result.release = release;
    return result;
}
