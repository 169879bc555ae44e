#pragma once

#include <QString>

// Every path the launcher keeps for itself, below the per-user data root.
// Pure functions: nothing is created or checked on disk.
QString dataRootPath();
// The data root for a given generic data location; empty means the
// application's own folder.
QString dataRootPathIn(const QString &genericDataLocation);
QString gatewayStatePath();
QString downloadsPath();
QString clientProductPath(const QString &productId);
// Empty for a blank version; otherwise the product folder joined with the trimmed version.
QString clientVersionPath(const QString &productId, const QString &version);
// The product folder joined with ".staging-" and the version as given.
QString clientStagingPath(const QString &productId, const QString &version);
// The cache of objects fetched for a differential update of a product.
QString clientObjectCachePath(const QString &productId);
// The launcher's own per-user install: its version folders and "current".
QString launcherRootPath();
