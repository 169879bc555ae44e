#pragma once

#include "install/clientinstall.h"
#include "install/differential.h"
#include "net/requestinfo.h"
#include "net/transfermeter.h"
#include "pass/launcherupdate.h"
#include "pass/passreport.h"
#include "release/binding.h"
#include "release/clientrelease.h"
#include "release/gatewayrelease.h"
#include "release/signature.h"
#include "storage/gatewaystate.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

class DifferentialJob;
class DownloadJob;
class InstallJob;
class ManifestFetch;
class VerifyJob;
struct VerifyResult;
class QNetworkAccessManager;
class RateLimiter;
struct DifferentialResult;
struct DownloadResult;
struct ManifestFetchResult;

// One update pass, from the Gateway manifest to a client ready to launch (or
// the Gateway's installer started), with no window: whoever shows it connects
// to its signals, and its buttons call its methods. It owns the persisted
// state and the release data of the pass, runs one job at a time, writes the
// pass's log lines and saves the state itself.
class UpdatePass : public QObject
{
    Q_OBJECT

public:
    explicit UpdatePass(QObject *parent = nullptr);
    ~UpdatePass() override;

    // Starts a pass; after a failure, starts another (Retry).
    void start();
    // A pass of its own: reads every file of the active version, checks it
    // against the version's record, fetches what is damaged or missing, and
    // ends ready (reporting verified()) or failed.
    void verify();
    // A pass of its own: makes the kept previous version active (checked and
    // repaired first, as verify() does) and holds optional updates back.
    void rollBack();
    // Ends the hold of a rollback and runs a pass.
    void undoRollback();
    // The version rollBack() would go back to; empty when none is kept.
    QString rollbackTarget() const;
    // The version the player rolled back from while updates are held; empty otherwise.
    QString rolledBackFrom() const;
    // The most bytes per second this pass's downloads take together (0: no
    // limit): kept in the settings file, and applied to downloads under way.
    bool setDownloadLimit(qint64 bytesPerSecond, QString *error = nullptr);
    qint64 downloadLimit() const;
    // What the last pass did to the installed client.
    const PassReport &report() const { return passReport; }
    // Stops the client download under way, keeping what arrived: the next
    // pass (Resume, or the next start) continues it with a range request.
    void pause();
    // Starts the client of a ready pass, then asks to quit.
    void launch();
    // The pass failed without reaching the release service, and the
    // installed client can be launched as it is: launch() starts it.
    bool playableOffline() const { return offline; }
    // Hides the upgrade offer until the full product's major version changes.
    void rememberUpgradeDismissal();
    // How a per-user launcher hands over to its new build: a window watches
    // it start (the default), ivra-update checks it and runs it.
    void setLauncherUpdateMode(LauncherUpdate::Mode mode) { launcherMode = mode; }
    // The upgrade offer's link once a ready pass offers it; empty otherwise.
    QUrl upgradeUrl() const { return offeredUpgradeUrl; }

Q_SIGNALS:
    void started();
    // The Gateway manifest was read and accepted: this build works as far as that.
    void gatewayChecked();
    void statusChanged(const QString &text);
    void clientVersionChanged(const QString &text);
    // 0 to 100, or -1 while the amount of work is not known.
    void progressChanged(int percent);
    // A line under the status: what a transfer is doing, or the installed
    // version once ready; empty when there is nothing to say.
    void detailChanged(const QString &text);
    void failed(const QString &message, bool retryAllowed);
    // Whether pause() would stop a client download now.
    void pausableChanged(bool pausable);
    // pause() stopped the download: the pass waits for start().
    void paused();
    void ready(bool upgradeOffered);
    void upgradeOfferDismissed();
    // verify(): how many files were read, how many were damaged, and repaired.
    void verified(int checked, int damaged, int repaired);
    // The client or the Gateway's installer has been started: the launcher's work is done.
    void quitRequested();
    // A launcher update starts its new build: the data folder is given up
    // until launcherKept(); launcherSwitched() ends this process with exitCode.
    void launcherHandingOver();
    void launcherKept();
    void launcherSwitched(int exitCode);

private:
    // unreachable: the release service could not be reached or answered
    // with an HTTP error; an installed client may then be played offline.
    void fail(const QString &message, bool retryAllowed, bool unreachable = false);
    bool prepareOfflineLaunch();
    void showTransfer(qint64 done, qint64 total);
    void rememberClientMinimum(const QString &minimum);
    void finishReady();
    bool persistState();
    void saveAcceptedTimestamps();
    void forgetUntrustedTimestamps(GatewayState &target) const;
    ReleaseBinding binding() const;
    void dropJobs();

    void requestManifest(RequestPurpose purpose);
    void onGatewayManifest(const ManifestFetchResult &result);
    void onClientManifest(const ManifestFetchResult &result);
    bool acceptSignedManifest(const ManifestFetchResult &result);
    void startClientDownload();
    void onClientPackageDownloaded(const DownloadResult &result);
    bool verifyDownload(const DownloadResult &result, const QString &expectedSha256,
                        const QString &label);
    RolloutStanding standingIn(const ReleaseRollout &rollout, const QString &version);
    void logHeldBack(const QString &version, const RolloutStanding &standing);
    QStringList earlierVersionFolders() const;
    void onDifferentialFetched(const DifferentialResult &result);
    void checkBeforeAdopting();
    void adopt();
    // Records the version as the active one; its launch file, or empty when
    // the pass ended on the way.
    QString recordInstalled(const QString &versionPath, const QString &exePath,
                            const QString &version);
    void offerLaunch(const QString &executable);
    void verifyVersion(const QString &version);
    void onVerified(const VerifyResult &result);
    void fallBackToPackage(const QString &reason, bool fault);
    void install(const QString &packagePath, qint64 totalBytes = 0,
                 const StagingFiller &fill = StagingFiller(),
                 const std::shared_ptr<GrowingFile> &growing = {});
    void onInstalled(const ClientInstallOutcome &outcome);
    void pruneOldClientInstalls();
    void reset();
    void setLaunchTarget(const QString &executable);
    void startGatewayUpdate();
    // Whether and how an outdated build replaces itself.
    void replaceLauncher();
    void onGatewayInstallerDownloaded(const DownloadResult &result);

    QNetworkAccessManager *network;
    RateLimiter *rateLimiter;
    GatewayState state;
    const QString productId;
    QList<ReleasePublicKey> releaseKeys;
    QStringList trustedKeyIds;
    QString releaseKeysError;
    // This pass's release data and outcome.
    GatewayRelease gatewayRelease;
    ClientRelease clientRelease;
    QString launchExecutable;
    QStringList launchArguments;
    QUrl offeredUpgradeUrl;
    bool differentialRefused = false;
    // The unpacked size of the release's files, once its index was read.
    qint64 indexedBytes = -1;
    // From the decision to install to the install recorded, for the log.
    QElapsedTimer installTime;
    bool timestampsChanged = false;
    // A version folder being checked or repaired: its good files serve staging.
    QString repairFolder;
    RecordTrust repairTrust = RecordTrust::Metadata;
    // Installed folders whose files all matched their record when this pass planned.
    QStringList cleanFolders;
    // verify(): files read and damaged, reported once the pass ends.
    int verifiedFiles = -1;
    int damagedFiles = 0;
    // verify() of a version without a readable record: against the release's index.
    QString verifyingWithoutRecord;
    // The one job at work.
    QPointer<ManifestFetch> manifestFetch;
    QPointer<DownloadJob> download;
    QPointer<DifferentialJob> differential;
    QPointer<InstallJob> installJob;
    bool offline = false;
    TransferMeter transferMeter;
    QElapsedTimer transferClock;
    qint64 detailShownAt = -1; // on transferClock
    qint64 shownDone = 0;
    qint64 shownTotal = -1;
    // The package being extracted while it downloads.
    std::shared_ptr<GrowingFile> packageStream;
    QPointer<VerifyJob> verifyJob;
    // rollBack(): the version that was active; empty in other passes.
    QString rollingBackFrom;
    PassReport passReport;
    QPointer<LauncherUpdate> launcherUpdate;
    LauncherUpdate::Mode launcherMode = LauncherUpdate::Mode::Watch;
};
