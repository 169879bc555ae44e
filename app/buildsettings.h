#pragma once

#include <QString>

// Release service addresses fixed when the launcher is built. They are defined
// only in the generated settings unit of each build.
namespace BuildSettings {
QString gatewayManifestUrl();
QString clientManifestUrl();
// The address a build falls back to when its Gateway setting is empty.
QString defaultGatewayManifestUrl();
} // namespace BuildSettings
