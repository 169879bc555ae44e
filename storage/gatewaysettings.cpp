#include "storage/gatewaysettings.h"

#include "storage/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {
const QString kDownloadLimit = QStringLiteral("downloadLimitBytesPerSecond");
} // namespace

QString downloadLimitProblem(qint64 bytesPerSecond)
{
    if (bytesPerSecond == 0 || bytesPerSecond >= kSmallestDownloadLimit)
        return QString();
    return QStringLiteral("Download speed limits below 64 KB/s are not accepted; 0 is no limit.");
}

QString gatewaySettingsPath()
{
    return QDir(dataRootPath()).absoluteFilePath(QStringLiteral("gateway-settings.json"));
}

GatewaySettings loadGatewaySettings(const QString &path, QString *error)
{
    GatewaySettings settings;
    QFile file(path);
    if (!file.exists())
        return settings;
    QJsonParseError parseError;
    const QJsonDocument document = file.open(QIODevice::ReadOnly)
                                       ? QJsonDocument::fromJson(file.readAll(), &parseError)
                                       : QJsonDocument();
    const QJsonValue value = document.object().value(kDownloadLimit);
    const double limit = value.isUndefined() ? 0 : value.toDouble(-1);
    if (!document.isObject() || limit < 0 || limit > 1e15) {
        if (error)
            *error = QStringLiteral("Unable to read settings '%1': the defaults apply.").arg(path);
        return settings;
    }
    if (!downloadLimitProblem(qint64(limit)).isEmpty()) {
        if (error)
            *error = QStringLiteral("Download speed limit %1 in '%2' is below 64 KB/s: no limit "
                                    "applies.")
                         .arg(qint64(limit))
                         .arg(path);
        return settings;
    }
    settings.downloadLimit = qint64(limit);
    return settings;
}

bool saveGatewaySettings(const QString &path, const GatewaySettings &settings, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    const QJsonObject root{{kDownloadLimit, double(settings.downloadLimit)}};
    if (file.open(QIODevice::WriteOnly) &&
        file.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) >= 0 && file.commit())
        return true;
    if (error)
        *error = QStringLiteral("Unable to write settings '%1': %2.").arg(path, file.errorString());
    return false;
}
