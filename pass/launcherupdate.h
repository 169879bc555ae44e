#pragma once

#include "release/gatewayrelease.h"

#include <QElapsedTimer>
#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QString>

class DownloadJob;
class QNetworkAccessManager;
class QProcess;
class QTimer;
struct DownloadResult;

// A per-user launcher replacing itself with the release's package for its
// platform: download (resumable, verified), extraction into a staging folder,
// promotion to root/<version>, then the hand-over. With a window (Watch) the
// new build is started with this process's arguments and environment and
// reports when it is healthy; only then does "current" switch. Without one
// (Check), the new ivra-update must print its version, then "current"
// switches and the new ivra-update runs in this one's place. A new build that
// fails is recorded as failed and this build goes on as the current one.
class LauncherUpdate : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Watch, Check };
    // How long a new build has to report that it is healthy.
    static constexpr int kHealthTimeoutMs = 30000;
    // How a new build started by an update exits when another launcher took
    // the data folder first: no fault of the build.
    static constexpr int kLockedOutExitCode = 75;

    LauncherUpdate(QNetworkAccessManager *network, const GatewayRelease &release,
                   const QString &platform, Mode mode, QObject *parent = nullptr);
    ~LauncherUpdate() override;
    void start();

Q_SIGNALS:
    void statusChanged(const QString &text);
    void progressChanged(int percent);
    void transferred(qint64 done, qint64 total);
    // Nothing was switched; the pass ends with this message.
    void failed(const QString &message, bool retryAllowed);
    // The new build is about to start: this process gives up the data folder.
    void handingOver();
    // "current" names the new build: this process ends with exitCode.
    void switched(int exitCode);
    // The new build did not start: this one stays current and goes on.
    void keptCurrent();

private:
    void onDownloaded(const DownloadResult &result);
    void onStaged(const QString &error);
    void startNewBuild();
    void watchNewBuild();
    void checkNewVersion();
    void runNewUpdater();
    void switchToNew();
    // The new build failed: recorded as failed, then given up.
    void rollBack(const QString &why);
    // The new build's folder and package go; this build stays current.
    void giveUp();

    QNetworkAccessManager *network;
    const GatewayRelease release;
    const LauncherPackage package;
    const QString platform;
    const Mode mode;
    const QString root;
    const QString versionFolder;
    QString packagePath;
    QString healthFile;
    QPointer<DownloadJob> download;
    QFuture<QString> staging;
    QTimer *poll;
    QElapsedTimer waited;
    qint64 childPid = 0;
    QProcess *child = nullptr;
};

// At every start of a launcher installed per user: counts the start of its
// version and, when the three starts before it never reached healthy and it
// is the one "current" names, switches "current" back to the previous folder
// and records the version as failed. Returns the same program in that folder
// to run instead, or empty.
QString countLauncherStart(const QString &programName);
// Replaces this process with program, given this process's own arguments
// and environment; returns only when that fails.
void runInstead(const QString &program);
// This start reached healthy: its count goes back to 0, and a build started
// by a launcher update says so through its health file.
void reportLauncherHealthy();

// ivra-update --install-launcher: the running build's programs become the
// per-user install's version folder, "current" names it, and the command and
// desktop entry are written. The error, or empty with what was done in report.
// An older build than the installed one is refused unless allowDowngrade.
QString installRunningLauncher(QStringList *report, bool allowDowngrade = false);
// ivra-update --launcher-rollback: "current" goes back to the previous
// folder and the version it named is recorded as failed.
QString rollBackLauncherByHand(QStringList *report);
