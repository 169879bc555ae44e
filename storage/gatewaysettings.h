#pragma once

#include <QString>

// What the player sets, kept apart from what the launcher learns
// ("gateway-settings.json" in the data folder).
struct GatewaySettings
{
    // The most bytes per second the downloads of a pass take together; 0 is no limit.
    qint64 downloadLimit = 0;
};

QString gatewaySettingsPath();
// A missing file gives the defaults; an unreadable one too, with error set.
GatewaySettings loadGatewaySettings(const QString &path, QString *error = nullptr);
bool saveGatewaySettings(const QString &path, const GatewaySettings &settings,
                         QString *error = nullptr);
