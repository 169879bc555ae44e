#pragma once

#include <QString>

// What the player sets, kept apart from what the launcher learns
// ("gateway-settings.json" in the data folder).
struct GatewaySettings
{
    // The most bytes per second the downloads of a pass take together; 0 is no limit.
    qint64 downloadLimit = 0;
};

// A slower limit would hold a transfer back past the stall time-out, and
// hosts that are fine would be skipped as unreachable.
inline constexpr qint64 kSmallestDownloadLimit = 64000;
// Why a limit cannot be set, or an empty string: 0 (no limit) or at least 64 KB/s.
QString downloadLimitProblem(qint64 bytesPerSecond);

QString gatewaySettingsPath();
// A missing file gives the defaults; an unreadable one too, with error set,
// and a limit below the smallest gives no limit, with error set.
GatewaySettings loadGatewaySettings(const QString &path, QString *error = nullptr);
bool saveGatewaySettings(const QString &path, const GatewaySettings &settings,
                         QString *error = nullptr);
