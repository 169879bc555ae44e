#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// A per-user launcher install: versioned folders below root (the data root's
// "gateway"), and a link "current" naming the active one. Nothing a user or a
// desktop holds names a version: the command and the desktop entry go
// through "current", which changes only by renaming a new link over it.

// The programs every launcher folder (and launcher package) holds.
QStringList launcherProgramNames();
// Both programs there as executable files.
bool isWholeLauncherFolder(const QString &folder);
// The version folder programDir is when it lies directly below root, or empty
// when the program runs from anywhere else (a system package, a build).
QString perUserLauncherVersion(const QString &root, const QString &programDir);
// The version "current" names, or empty when there is no whole one.
QString currentLauncherVersion(const QString &root);
// The newest whole version folder other than current and those failed.
QString previousLauncherVersion(const QString &root, const QString &current,
                                const QStringList &failed);
// Points "current" at version: a new link renamed over the old one, and
// the folder synced so that the switch survives a power cut. Empty on success.
QString switchCurrentLauncher(const QString &root, const QString &version);
// Promotes a whole staging folder to root/version, setting aside (then
// removing) a folder already there. Data and names are synced first.
QString promoteLauncherFolder(const QString &root, const QString &staging, const QString &version);
// Copies the programs of programDir into a new staging folder below root.
QString copyLauncherPrograms(const QString &programDir, const QString &staging);
// Leftovers of an interrupted update or prune (staging, trash, a health
// file, a new link never renamed): removed, and named in the result for the log.
QStringList removeLauncherLeftovers(const QString &root);
// Removes version folders other than those kept; the removed ones are returned.
QStringList pruneLauncherFolders(const QString &root, const QStringList &kept);

// The stable command (a link in binDir to root/current/IvraLauncher) and
// the desktop entry that starts it, with its icon. Empty on success.
struct LauncherEntryPoints
{
    QString commandPath;     // ~/.local/bin/ivra-gateway
    QString desktopFilePath; // ~/.local/share/applications/ivra-gateway.desktop
    QString iconPath;        // ~/.local/share/icons/hicolor/256x256/apps/ivra-gateway.png
};
LauncherEntryPoints launcherEntryPointsIn(const QString &home, const QString &dataHome);
QString writeLauncherEntryPoints(const QString &root, const LauncherEntryPoints &where,
                                 const QByteArray &iconPng);
