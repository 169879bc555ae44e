#pragma once

#include "release/version.h"

#include <QString>
#include <QStringList>

// What the data folder may drop once an install or an adoption is recorded,
// so that it does not grow with every release.

// Folders of a product folder that pruning removes: version folders not kept,
// staging folders and leftovers of an earlier prune.
QStringList prunableClientFolders(const QString &productPath, const QStringList &keptVersions);

// Records beside the product's version folders of versions not kept.
QStringList obsoleteInstallRecords(const QString &productPath, const QStringList &keptVersions);

// Files of the downloads folder that no kept version needs: the product's
// packages of other versions, its ".part" files, and Gateway installers not
// newer than the running build.
QStringList obsoleteDownloads(const QString &downloadsRoot, const QString &productId,
                              const QStringList &keptVersions, const ReleaseVersion &gatewayBuild);

// Removes a folder by first renaming it to a hidden ".trash-" name beside it,
// so that an interrupted removal never leaves something that looks like a
// whole version. A folder already so named is removed as it is. When the
// rename fails the folder stays whole and the removal counts as failed.
bool discardDirectory(const QString &path, QString *error = nullptr);
