#include "pass/updatepass.h"

#include "base/buildidentity.h"
#include "base/buildsettings.h"
#include "base/logging.h"
#include "install/differentialjob.h"
#include "install/directories.h"
#include "install/diskspace.h"
#include "install/housekeeping.h"
#include "install/installjob.h"
#include "install/launcherfolders.h"
#include "install/launchpath.h"
#include "install/offlineclient.h"
#include "install/verifyjob.h"
#include "net/downloadjob.h"
#include "net/manifestfetch.h"
#include "net/ratelimit.h"
#include "net/releasehosts.h"
#include "net/transfermeter.h"
#include "platform/filelinks.h"
#include "platform/filenames.h"
#include "release/clientdecision.h"
#include "release/gatewaydecision.h"
#include "release/version.h"
#include "storage/gatewaysettings.h"
#include "storage/paths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>

namespace {
const QString kReadyText = QStringLiteral("IVRA ENGINE 2.0 Beta is ready.");
constexpr qint64 kDetailIntervalMs = 250;
const QString kOfflineText =
    QStringLiteral("Playing offline: the release service could not be reached.");

// A finished job goes once its signal has been handled.
template <class Job> void retire(QPointer<Job> &job)
{
    if (job)
        job->deleteLater();
    job = nullptr;
}

// A job of an ended pass is dropped at once: it reports nothing more.
template <class Job> void drop(QPointer<Job> &job)
{
    delete job.data();
    job = nullptr;
}

} // namespace

UpdatePass::UpdatePass(QObject *parent)
    : QObject(parent), network(new QNetworkAccessManager(this)),
      rateLimiter(new RateLimiter(network)), productId(clientProductIdForEdition(buildEdition()))
{
    ReleaseHosts::fromBuildSettings(network);
    releaseKeys = parseReleasePublicKeys(BuildSettings::releasePublicKeys(), &releaseKeysError);
    for (const ReleasePublicKey &key : releaseKeys)
        trustedKeyIds.append(keyIdText(key.keyId));
    const GatewayStateLoadResult loaded = loadGatewayState(gatewayStatePath());
    if (loaded.error.isEmpty())
        state = loaded.state;
    else
        logWarning(QStringLiteral("Gateway state will be reset: %1").arg(loaded.error));
}

UpdatePass::~UpdatePass()
{
    // Before the network manager goes: the jobs still hold its replies. An
    // install under way stops at its next chunk and removes its staging folder.
    dropJobs();
}

void UpdatePass::dropJobs()
{
    drop(manifestFetch);
    drop(download);
    drop(differential);
    if (packageStream)
        packageStream->abandon();
    packageStream.reset();
    drop(installJob);
    drop(verifyJob);
    drop(launcherUpdate);
}

void UpdatePass::reset()
{
    dropJobs();
    launchExecutable.clear();
    launchArguments.clear();
    gatewayRelease = GatewayRelease();
    clientRelease = ClientRelease();
    offeredUpgradeUrl = QUrl();
    differentialRefused = false;
    indexedBytes = -1;
    installTime.invalidate();
    repairFolder.clear();
    repairTrust = RecordTrust::Metadata;
    cleanFolders.clear();
    verifiedFiles = -1;
    damagedFiles = 0;
    verifyingWithoutRecord.clear();
    offline = false;
    transferMeter.reset();
    transferClock.invalidate();
    detailShownAt = -1;
    rollingBackFrom.clear();
    passReport = PassReport();
    passReport.before = clientInstallStateFor(state, productId).activeVersion;
    if (ReleaseHosts *hosts = ReleaseHosts::of(network))
        hosts->beginPass(state.releaseHost, QDateTime::currentSecsSinceEpoch());
    QString settingsError;
    const GatewaySettings settings = loadGatewaySettings(gatewaySettingsPath(), &settingsError);
    if (!settingsError.isEmpty())
        logWarning(settingsError);
    rateLimiter->setRate(settings.downloadLimit);
    if (settings.downloadLimit > 0)
        logInfo(QStringLiteral("Download speed limit: %1").arg(rateText(settings.downloadLimit)));
    Q_EMIT started();
}

void UpdatePass::start()
{
    reset();

    const ReleaseVersion version = parseReleaseVersion(GatewayBuildVersion);
    if (!isValid(version)) {
        fail(QStringLiteral("Invalid Gateway version: %1").arg(version.error), false);
        return;
    }
    if (productId.isEmpty()) {
        fail(QStringLiteral("Invalid Gateway edition: %1").arg(buildEdition()), false);
        return;
    }
    if (!releaseKeysError.isEmpty()) {
        // A signed build must never fall back to trusting unsigned releases.
        logWarning(QStringLiteral("Release signing keys are not valid: %1").arg(releaseKeysError));
        fail(QStringLiteral("Release signing keys are not valid."), false);
        return;
    }
    requestManifest(RequestPurpose::GatewayManifest);
}

void UpdatePass::pause()
{
    if (!download && !differential)
        return;
    dropJobs();
    logInfo(QStringLiteral("Download paused: what arrived is kept for the next pass"));
    Q_EMIT pausableChanged(false);
    Q_EMIT statusChanged(QStringLiteral("Download paused."));
    Q_EMIT detailChanged(transferText(shownDone, shownTotal, 0));
    Q_EMIT paused();
}

void UpdatePass::fail(const QString &message, bool retryAllowed, bool unreachable)
{
    Q_EMIT pausableChanged(false);
    offline = unreachable && prepareOfflineLaunch();
    if (offline) {
        passReport.reason = PassReport::Reason::Offline;
        passReport.after = passReport.before;
    }
    // Support reads the log, not the window: every ending of a pass is there.
    logWarning(QStringLiteral("Pass ended: %1 (%2)")
                   .arg(message, retryAllowed ? QStringLiteral("Retry offered")
                                              : QStringLiteral("no Retry")));
    saveAcceptedTimestamps();
    Q_EMIT failed(message, retryAllowed);
}

// The installed version is never started offline below the minimum of the
// last manifest accepted. It is saved with the state, and at once when it
// puts the installed version below: a pass that fails after this must not
// leave that version playable offline.
void UpdatePass::rememberClientMinimum(const QString &minimum)
{
    if (!state.clients.contains(productId))
        return;
    ClientInstallState &installed = state.clients[productId];
    if (installed.acceptedMinimum == minimum)
        return;
    installed.acceptedMinimum = minimum;
    QString error;
    if (!minimum.isEmpty() && !installed.activeVersion.isEmpty() &&
        isBelowMinimum(installed.activeVersion, minimum) &&
        !saveAcceptedClientMinimum(gatewayStatePath(), productId, minimum, &error))
        logWarning(QStringLiteral("Unable to remember the client minimum: %1").arg(error));
}

// The line under the status while bytes arrive.
void UpdatePass::showTransfer(qint64 done, qint64 total)
{
    // A transfer that has not answered yet: no sample, or a resumed part
    // would seem to arrive at once.
    if (total < 0 && done == 0)
        return;
    if (!transferClock.isValid())
        transferClock.start();
    const qint64 now = transferClock.elapsed();
    transferMeter.record(now, done);
    shownDone = done;
    shownTotal = total;
    // Progress comes with every chunk read; a person reads a few lines a second.
    if (now - detailShownAt < kDetailIntervalMs && done != total && detailShownAt >= 0)
        return;
    detailShownAt = now;
    Q_EMIT detailChanged(transferText(done, total, transferMeter.bytesPerSecond()));
}

bool UpdatePass::prepareOfflineLaunch()
{
    const ClientInstallState installed = clientInstallStateFor(state, productId);
    const OfflineClient client = offlineClient(clientProductPath(productId),
                                               installed.activeVersion, installed.acceptedMinimum);
    if (!client.problem.isEmpty()) {
        logInfo(QStringLiteral("Not playable offline: %1").arg(client.problem));
        return false;
    }
    launchExecutable = client.executable;
    launchArguments = client.arguments;
    logInfo(
        QStringLiteral("%1 Client %2 can be launched.").arg(kOfflineText, installed.activeVersion));
    return true;
}

void UpdatePass::finishReady()
{
    Q_EMIT pausableChanged(false);
    saveAcceptedTimestamps();
    if (const ReleaseHosts *hosts = ReleaseHosts::of(network)) {
        state.releaseHost =
            hosts->choiceAfterPass(state.releaseHost, QDateTime::currentSecsSinceEpoch());
        QString error;
        if (!saveReleaseHostChoice(gatewayStatePath(), state.releaseHost, &error))
            logWarning(QStringLiteral("Unable to remember the release host: %1").arg(error));
    }
    if (verifiedFiles >= 0)
        Q_EMIT verified(verifiedFiles, damagedFiles, damagedFiles);
    bool offered = false;
    if (isUpgradeOfferDue(buildEdition(), gatewayRelease, state)) {
        offeredUpgradeUrl = QUrl::fromUserInput(gatewayRelease.upgradeUrl);
        offered = isUsableUrl(offeredUpgradeUrl);
    }
    const QString active = clientInstallStateFor(state, productId).activeVersion;
    passReport.after = active;
    if (!rollingBackFrom.isEmpty())
        passReport.reason = PassReport::Reason::RolledBack;
    else if (passReport.reason == PassReport::Reason::None)
        passReport.reason = active == passReport.before ? PassReport::Reason::UpToDate
                                                        : changeReason(passReport.before, active);
    Q_EMIT statusChanged(kReadyText);
    const QString held = rolledBackFrom();
    Q_EMIT detailChanged(active.isEmpty() ? QString()
                         : held.isEmpty()
                             ? QStringLiteral("IVRA %1 installed").arg(active)
                             : QStringLiteral("IVRA %1 installed · rolled back from %2, updates "
                                              "held back")
                                   .arg(active, held));
    Q_EMIT ready(offered);
}

bool UpdatePass::persistState()
{
    forgetUntrustedTimestamps(state);
    // The launcher's own entry is written by whichever launcher process learns it.
    const GatewayStateLoadResult onDisk = loadGatewayState(gatewayStatePath());
    if (onDisk.error.isEmpty())
        state.launcher = onDisk.state.launcher;
    QString error;
    if (saveGatewayState(gatewayStatePath(), state, &error)) {
        timestampsChanged = false;
        return true;
    }
    fail(error, true);
    return false;
}

// Signed builds only: what keys no longer trusted signed is dropped with them,
// so rotating a key away also drops whatever it signed.
void UpdatePass::forgetUntrustedTimestamps(GatewayState &target) const
{
    if (!releaseKeys.isEmpty())
        dropUntrustedTimestamps(target, trustedKeyIds, QDateTime::currentSecsSinceEpoch());
}

// Timestamps are saved the moment a newer signature is accepted, before any
// download, so that neither Exit nor a crash can lose them. Only they are
// merged into the file as it stands, so a failed install's in-memory changes
// are never written by the way.
void UpdatePass::saveAcceptedTimestamps()
{
    if (!timestampsChanged)
        return;
    timestampsChanged = false;
    const GatewayStateLoadResult loaded = loadGatewayState(gatewayStatePath());
    GatewayState onDisk = loaded.error.isEmpty() ? loaded.state : state;
    for (auto file = state.manifestTimestamps.cbegin(); file != state.manifestTimestamps.cend();
         ++file) {
        for (auto key = file->cbegin(); key != file->cend(); ++key)
            rememberManifestTimestamp(onDisk, file.key(), key.key(), key.value());
    }
    forgetUntrustedTimestamps(onDisk);
    QString error;
    if (!saveGatewayState(gatewayStatePath(), onDisk, &error))
        logWarning(QStringLiteral("Unable to remember release data timestamps: %1").arg(error));
}

void UpdatePass::requestManifest(RequestPurpose purpose)
{
    const bool gateway = purpose == RequestPurpose::GatewayManifest;
    const QUrl url = gateway ? gatewayManifestUrl() : clientManifestUrlFor(productId);
    if (!isUsableUrl(url)) {
        fail(gateway ? QStringLiteral("Gateway release URL is not configured.")
                     : QStringLiteral("Client release URL is not configured."),
             false);
        return;
    }
    Q_EMIT statusChanged(gateway ? QStringLiteral("Checking for updates...")
                                 : QStringLiteral("Checking IVRA..."));
    logInfo((gateway ? QStringLiteral("Requesting Gateway manifest: %1")
                     : QStringLiteral("Requesting client manifest: %1"))
                .arg(url.toString(QUrl::RemovePassword)));
    ManifestTrust trust;
    trust.keys = releaseKeys;
    trust.maxAgeDays = BuildSettings::releaseMaxAgeDays();
    trust.acceptedTimestamp =
        acceptedManifestTimestamp(state, signedFileNameForUrl(url.toString()), trustedKeyIds,
                                  QDateTime::currentSecsSinceEpoch());
    manifestFetch = new ManifestFetch(network, url, purpose, trust, this);
    connect(manifestFetch, &ManifestFetch::finished, this,
            gateway ? &UpdatePass::onGatewayManifest : &UpdatePass::onClientManifest);
    manifestFetch->start();
}

// A signature binds a manifest to its file name only: a signed build also
// checks that it is for this build's channel and Gateway product.
ReleaseBinding UpdatePass::binding() const
{
    if (releaseKeys.isEmpty())
        return ReleaseBinding();
    return ReleaseBinding{BuildSettings::releaseChannel(), GatewayProductName};
}

bool UpdatePass::acceptSignedManifest(const ManifestFetchResult &result)
{
    retire(manifestFetch);
    if (!result.ok) {
        fail(result.message, true, result.unreachable);
        return false;
    }
    if (!releaseKeys.isEmpty() &&
        rememberManifestTimestamp(state, result.fileName, keyIdText(result.keyId),
                                  result.timestamp)) {
        timestampsChanged = true;
        saveAcceptedTimestamps();
    }
    return true;
}

void UpdatePass::onGatewayManifest(const ManifestFetchResult &result)
{
    if (!acceptSignedManifest(result))
        return;
    const GatewayReleaseResult parsed = parseGatewayRelease(result.body);
    if (!isValid(parsed)) {
        logWarning(QStringLiteral("Gateway manifest parse failed: %1, body=%2")
                       .arg(parsed.error, replyBodyPreview(result.body)));
        fail(QStringLiteral("Unable to read Gateway release manifest: %1").arg(parsed.error), true);
        return;
    }
    // Kept before the tests, so the pass holds the manifest even when a test stops it.
    gatewayRelease = parsed.release;
    Q_EMIT gatewayChecked();
    const RolloutStanding standing =
        standingIn(gatewayRelease.rollout, gatewayRelease.latestVersion);
    const GatewayDecision decision = decideGatewayUpdate(gatewayRelease, GatewayBuildVersion,
                                                         GatewayBuildEdition, binding(), standing);
    switch (decision.action) {
    case GatewayAction::Refuse:
        fail(decision.message, false);
        return;
    case GatewayAction::Current:
        logInfo(QStringLiteral("Gateway is current: %1").arg(decision.versions));
        requestManifest(RequestPurpose::ClientManifest);
        return;
    case GatewayAction::SelfUpdate:
        logInfo(QStringLiteral("Gateway update required: %1").arg(decision.versions));
        replaceLauncher();
        return;
    case GatewayAction::HeldBack:
        logHeldBack(gatewayRelease.latestVersion, standing);
        requestManifest(RequestPurpose::ClientManifest);
        return;
    }
}

void UpdatePass::onClientManifest(const ManifestFetchResult &result)
{
    if (!acceptSignedManifest(result))
        return;
    const ClientReleaseResult parsed = parseClientRelease(result.body);
    if (!isValid(parsed)) {
        logWarning(QStringLiteral("Client manifest parse failed: %1, body=%2")
                       .arg(parsed.error, replyBodyPreview(result.body)));
        fail(QStringLiteral("Unable to read IVRA client manifest: %1").arg(parsed.error), true);
        return;
    }
    clientRelease = parsed.release;
    passReport.latest = clientRelease.latestVersion;
    Q_EMIT clientVersionChanged(clientRelease.latestVersion);
    rememberClientMinimum(clientRelease.minimumVersion.trimmed());

    InstalledClient installed;
    installed.activeVersion = clientInstallStateFor(state, productId).activeVersion;
    installed.updatesHeld = !rolledBackFrom().isEmpty();
    installed.activeExecutable = resolveLaunchPath(
        clientVersionPath(productId, installed.activeVersion), clientRelease.launchExePath);
    installed.latestExecutable = resolveLaunchPath(
        clientVersionPath(productId, clientRelease.latestVersion), clientRelease.launchExePath);
    const RolloutStanding standing = standingIn(clientRelease.rollout, clientRelease.latestVersion);
    const ClientDecision decision =
        decideClientUpdate(clientRelease, productId, installed, binding(), standing);
    const QString versions =
        QStringLiteral("active %1, latest %2")
            .arg(versionOrNone(installed.activeVersion), clientRelease.latestVersion);
    if (decision.action != ClientAction::Refuse && !verifyingWithoutRecord.isEmpty()) {
        if (clientRelease.latestVersion != verifyingWithoutRecord || !clientRelease.hasFileIndex) {
            fail(QStringLiteral("IVRA %1 has no install record to verify it against.")
                     .arg(verifyingWithoutRecord),
                 false);
            return;
        }
        Q_EMIT statusChanged(QStringLiteral("Verifying IVRA..."));
        repairFolder = clientVersionPath(productId, verifyingWithoutRecord);
        repairTrust = RecordTrust::None;
        startClientDownload();
        return;
    }
    switch (decision.action) {
    case ClientAction::Refuse:
        fail(decision.message, false);
        return;
    case ClientAction::Ready: {
        const QString problem = installedVersionProblem(
            clientProductPath(productId), installed.activeVersion, decision.executable);
        if (!problem.isEmpty()) {
            logWarning(QStringLiteral("Client %1 is not whole (%2): checked and repaired before "
                                      "Launch")
                           .arg(installed.activeVersion, problem));
            checkBeforeAdopting();
            return;
        }
        logInfo(QStringLiteral("Client is ready: %1").arg(versions));
        setLaunchTarget(decision.executable);
        finishReady();
        return;
    }
    case ClientAction::Install:
        logInfo(QStringLiteral("Downloading client: %1").arg(versions));
        startClientDownload();
        return;
    case ClientAction::HeldBack:
        if (installed.updatesHeld) {
            logInfo(QStringLiteral("Update to %1 held back: the player rolled back from %2")
                        .arg(clientRelease.latestVersion, rolledBackFrom()));
            passReport.reason = PassReport::Reason::RolledBack;
        } else {
            logHeldBack(clientRelease.latestVersion, standing);
            passReport.reason = PassReport::Reason::HeldBack;
            passReport.rolloutShare = standing.share;
        }
        setLaunchTarget(decision.executable);
        finishReady();
        return;
    case ClientAction::Adopt:
        logInfo(QStringLiteral("Adopting unpacked client version %1: active %2")
                    .arg(clientRelease.latestVersion, versionOrNone(installed.activeVersion)));
        checkBeforeAdopting();
        return;
    }
}

// Only a release with a staged rollout needs to know who this install is;
// the id is made then, once, and kept at once.
RolloutStanding UpdatePass::standingIn(const ReleaseRollout &rollout, const QString &version)
{
    RolloutStanding standing;
    if (!rollout.present)
        return standing;
    if (state.installId.isEmpty()) {
        const GatewayStateLoadResult loaded = loadGatewayState(gatewayStatePath());
        GatewayState onDisk = loaded.error.isEmpty() ? loaded.state : state;
        state.installId = onDisk.installId.isEmpty() ? newInstallId() : onDisk.installId;
        if (state.installId.isEmpty()) {
            logWarning(QStringLiteral("No install id could be made: the staged rollout is not "
                                      "applied"));
            return standing;
        }
        onDisk.installId = state.installId;
        QString error;
        if (!saveGatewayState(gatewayStatePath(), onDisk, &error))
            logWarning(QStringLiteral("Unable to keep the install id: %1").arg(error));
    }
    standing.share = rolloutShareAt(rollout, QDateTime::currentDateTimeUtc());
    standing.position = rolloutPosition(QByteArray::fromHex(state.installId.toLatin1()), version);
    return standing;
}

void UpdatePass::logHeldBack(const QString &version, const RolloutStanding &standing)
{
    logInfo(QStringLiteral("Update to %1 held back by the staged rollout (%2 % reached, this "
                           "install at %3 %)")
                .arg(version, shareText(standing.share))
                .arg(standing.position * 100, 0, 'f', 1));
}

// An unpacked version nobody used since it was written (an install whose
// state save failed, or an earlier version kept as the previous one) may have
// been changed meanwhile, by a client writing into files it shares by a link
// with another version, say: it is checked first, and repaired if need be.
void UpdatePass::checkBeforeAdopting()
{
    const QString folder = clientVersionPath(productId, clientRelease.latestVersion);
    if (clientRelease.hasFileIndex) {
        repairFolder = folder;
        startClientDownload();
        return;
    }
    const InstallRecordResult read = readInstallRecord(
        installRecordPath(clientProductPath(productId), clientRelease.latestVersion));
    if (!read.error.isEmpty()) {
        // Nothing to check it against: its files might be anyone's.
        logInfo(QStringLiteral("Version %1 has no readable record (%2): downloading it again")
                    .arg(clientRelease.latestVersion, read.error));
        startClientDownload();
        return;
    }
    verifyJob = new VerifyJob(folder, read.record, RecordTrust::Metadata, this);
    connect(verifyJob, &VerifyJob::finished, this, &UpdatePass::onVerified);
    verifyJob->start();
}

void UpdatePass::adopt()
{
    const QString executable =
        recordInstalled(clientVersionPath(productId, clientRelease.latestVersion),
                        clientRelease.launchExePath, clientRelease.latestVersion);
    if (!executable.isEmpty())
        offerLaunch(executable);
}

QString UpdatePass::recordInstalled(const QString &versionPath, const QString &exePath,
                                    const QString &version)
{
    QString error;
    const QString executable = resolveLaunchPath(versionPath, exePath, &error);
    if (executable.isEmpty()) {
        fail(error, true);
        return QString();
    }
    ClientInstallState &entry = state.clients[productId];
    // A rollback holds optional updates back; any other version made active ends the hold.
    if (!rollingBackFrom.isEmpty())
        entry.rolledBackFrom = rollingBackFrom;
    else if (version != entry.activeVersion)
        entry.rolledBackFrom.clear();
    recordInstalledClientVersion(state, productId, version);
    return persistState() ? executable : QString();
}

void UpdatePass::offerLaunch(const QString &executable)
{
    pruneOldClientInstalls();
    setLaunchTarget(executable);
    finishReady();
}

void UpdatePass::verify()
{
    reset();
    if (productId.isEmpty()) {
        fail(QStringLiteral("Invalid Gateway edition: %1").arg(buildEdition()), false);
        return;
    }
    const QString active = clientInstallStateFor(state, productId).activeVersion;
    if (active.isEmpty()) {
        fail(QStringLiteral("IVRA is not installed."), false);
        return;
    }
    verifyVersion(active);
}

QString UpdatePass::rollbackTarget() const
{
    const ClientInstallState installed = clientInstallStateFor(state, productId);
    const QString previous = installed.previousVersion;
    if (previous.isEmpty() || previous == installed.activeVersion ||
        !QFileInfo(clientVersionPath(productId, previous)).isDir())
        return QString();
    return previous;
}

QString UpdatePass::rolledBackFrom() const
{
    return clientInstallStateFor(state, productId).rolledBackFrom;
}

void UpdatePass::rollBack()
{
    reset();
    const QString target = rollbackTarget();
    if (target.isEmpty()) {
        fail(QStringLiteral("No earlier version of IVRA is kept."), false);
        return;
    }
    rollingBackFrom = clientInstallStateFor(state, productId).activeVersion;
    logInfo(QStringLiteral("Rolling back from %1 to %2").arg(rollingBackFrom, target));
    verifyVersion(target);
}

void UpdatePass::undoRollback()
{
    const QString from = rolledBackFrom();
    if (!from.isEmpty()) {
        state.clients[productId].rolledBackFrom.clear();
        if (!persistState())
            return;
        logInfo(QStringLiteral("Rollback from %1 undone: updates are installed again").arg(from));
    }
    start();
}

void UpdatePass::verifyVersion(const QString &active)
{
    const InstallRecordResult read =
        readInstallRecord(installRecordPath(clientProductPath(productId), active));
    if (!read.error.isEmpty()) {
        // After a power cut, say: the release's file index still says what it should hold.
        logWarning(QStringLiteral("Verification of %1: %2; checking it against the release's "
                                  "file index")
                       .arg(active, read.error));
        verifyingWithoutRecord = active;
        requestManifest(RequestPurpose::ClientManifest);
        return;
    }
    // What the record says the version came from is all a repair needs.
    const InstallRecord &record = read.record;
    clientRelease.product = productId;
    clientRelease.latestVersion = record.version;
    clientRelease.minimumVersion = record.version;
    clientRelease.artifactUrl = record.packageUrl;
    clientRelease.artifactSha256 = record.packageSha256;
    clientRelease.artifactSizeBytes = record.packageSizeBytes;
    clientRelease.launchExePath = record.launchExePath;
    clientRelease.launchArgs = record.launchArgs;
    clientRelease.fileIndexUrl = record.indexUrl;
    clientRelease.fileIndexSha256 = record.indexSha256;
    clientRelease.fileIndexSizeBytes = record.indexSizeBytes;
    clientRelease.hasFileIndex = !record.indexUrl.isEmpty() && record.indexSizeBytes > 0;
    Q_EMIT clientVersionChanged(record.version);
    Q_EMIT statusChanged(QStringLiteral("Verifying IVRA..."));
    Q_EMIT progressChanged(-1);
    repairTrust = RecordTrust::None;
    verifyJob =
        new VerifyJob(clientVersionPath(productId, active), record, RecordTrust::None, this);
    connect(verifyJob, &VerifyJob::finished, this, &UpdatePass::onVerified);
    verifyJob->start();
}

void UpdatePass::onVerified(const VerifyResult &result)
{
    retire(verifyJob);
    const bool verifying = repairTrust == RecordTrust::None;
    if (verifying) {
        verifiedFiles = result.checked;
        damagedFiles = int(result.damaged.size());
        logInfo(QStringLiteral("Verified %1: %2 checked, %3 damaged")
                    .arg(clientRelease.latestVersion, countOf(result.checked, "file", "files"))
                    .arg(result.damaged.size()));
    }
    if (result.damaged.isEmpty()) {
        if (verifying && rollingBackFrom.isEmpty()) {
            const QString executable =
                resolveLaunchPath(clientVersionPath(productId, clientRelease.latestVersion),
                                  clientRelease.launchExePath);
            setLaunchTarget(executable);
            finishReady();
        } else {
            adopt();
        }
        return;
    }
    logWarning(QStringLiteral("Version %1 is damaged, fetched again: %2")
                   .arg(clientRelease.latestVersion,
                        result.damaged.mid(0, 10).join(QStringLiteral(", "))));
    repairFolder = clientVersionPath(productId, clientRelease.latestVersion);
    startClientDownload();
}

QStringList UpdatePass::earlierVersionFolders() const
{
    QStringList folders;
    for (const QString &version : retainedClientVersions(state, productId)) {
        const QString folder = clientVersionPath(productId, version);
        if (version != clientRelease.latestVersion && QFileInfo(folder).isDir())
            folders.append(folder);
    }
    return folders;
}

void UpdatePass::startClientDownload()
{
    Q_EMIT statusChanged(QStringLiteral("Downloading IVRA..."));
    Q_EMIT pausableChanged(true);
    if (!installTime.isValid())
        installTime.start();
    // Only the files that changed, when the release has an index and an
    // earlier version is installed to take the others from.
    QStringList sources = earlierVersionFolders();
    if (!repairFolder.isEmpty() && QFileInfo(repairFolder).isDir())
        sources.prepend(repairFolder);
    if (clientRelease.hasFileIndex && !differentialRefused && !sources.isEmpty()) {
        // A version that still holds every file is adopted as it is: unless
        // it is verified, whose files were all just read.
        const bool checking = !repairFolder.isEmpty() && repairTrust == RecordTrust::Metadata;
        differential = new DifferentialJob(network, clientRelease, productId, sources, this,
                                           checking ? repairFolder : QString(), repairTrust);
        connect(differential, &DifferentialJob::progress, this, &UpdatePass::progressChanged);
        connect(differential, &DifferentialJob::transferred, this, &UpdatePass::showTransfer);
        connect(differential, &DifferentialJob::finished, this, &UpdatePass::onDifferentialFetched);
        differential->start();
        return;
    }
    const QUrl url = QUrl::fromUserInput(clientRelease.artifactUrl);
    if (!isUsableUrl(url)) {
        fail(QStringLiteral("IVRA client artifact URL is invalid."), false);
        return;
    }
    const QString fileName =
        QStringLiteral("%1_%2.zip").arg(clientRelease.product, clientRelease.latestVersion);
    const QString target =
        QDir(downloadsPath()).absoluteFilePath(QStringLiteral("%1/%2").arg(productId, fileName));
    // The package and what extracts from it, which its central directory
    // would tell only once it has arrived: as much again, at least.
    const QString noRoom = diskSpaceProblem(
        dataRootPath(), packageSpaceNeeded(clientRelease.artifactSizeBytes,
                                           QFileInfo(target + QStringLiteral(".part")).size()));
    if (!noRoom.isEmpty()) {
        fail(noRoom, true);
        return;
    }
    download = new DownloadJob(network, url, target, RequestPurpose::ClientZip,
                               clientRelease.artifactSizeBytes, this);
    connect(download, &DownloadJob::progress, this, [this](qint64 received, qint64 total) {
        showTransfer(received, total);
        Q_EMIT progressChanged(percentOf(received, total));
    });
    connect(download, &DownloadJob::finished, this, &UpdatePass::onClientPackageDownloaded);
    // Where a file being read cannot be renamed, the package is extracted once it is whole.
    std::shared_ptr<GrowingFile> stream = renamesOpenFiles() ? download->followPart() : nullptr;
    download->setTransient(clientRelease.hasFileIndex);
    download->setExpectedSha256(clientRelease.artifactSha256);
    download->start();
    // Extraction starts with the first bytes; nothing is recorded before
    // the whole package has passed its checks.
    if (download && stream) {
        packageStream = stream;
        install(target, 0, StagingFiller(), stream);
    }
}

bool UpdatePass::verifyDownload(const DownloadResult &result, const QString &expectedSha256,
                                const QString &label)
{
    const QString error = checkDownloadedDigest(result, expectedSha256, label);
    if (!error.isEmpty())
        fail(error, true);
    return error.isEmpty();
}

void UpdatePass::onClientPackageDownloaded(const DownloadResult &result)
{
    Q_EMIT pausableChanged(false);
    retire(download);
    const std::shared_ptr<GrowingFile> stream = std::exchange(packageStream, nullptr);
    QString problem = result.ok() ? QString() : result.message;
    // The size comes first, so a short or overlong file is never hashed. 0 means no size given.
    const qint64 size = QFileInfo(result.targetPath).size();
    if (problem.isEmpty() && clientRelease.artifactSizeBytes > 0 &&
        size != clientRelease.artifactSizeBytes)
        problem = QStringLiteral(
                      "Downloaded IVRA client size mismatch. Expected %1 bytes, received %2 bytes.")
                      .arg(clientRelease.artifactSizeBytes)
                      .arg(size);
    if (problem.isEmpty())
        problem = checkDownloadedDigest(result, clientRelease.artifactSha256,
                                        QStringLiteral("IVRA client zip"));
    if (!problem.isEmpty()) {
        // What was extracted meanwhile goes with its staging folder.
        if (stream) {
            stream->abandon();
            drop(installJob);
        }
        fail(problem, true,
             result.outcome == DownloadResult::NetworkFailure ||
                 result.outcome == DownloadResult::HttpFailure);
        return;
    }
    Q_EMIT statusChanged(QStringLiteral("Installing IVRA..."));
    Q_EMIT detailChanged(QString());
    if (stream && installJob) {
        stream->finish();
        return;
    }
    install(result.targetPath);
}

void UpdatePass::onDifferentialFetched(const DifferentialResult &result)
{
    Q_EMIT pausableChanged(false);
    retire(differential);
    if (result.outcome == DifferentialResult::Failed) {
        fail(result.message, true, result.unreachable);
        return;
    }
    if (result.outcome == DifferentialResult::FallBack) {
        if (!result.index.files.isEmpty())
            indexedBytes = unpackedSize(result.index);
        fallBackToPackage(result.reason, result.fault);
        return;
    }
    if (result.outcome == DifferentialResult::Intact) {
        adopt();
        return;
    }
    cleanFolders = result.plan.cleanFolders;
    if (!verifyingWithoutRecord.isEmpty()) {
        verifiedFiles = int(result.index.files.size());
        damagedFiles = verifiedFiles - int(result.plan.reused);
    }
    Q_EMIT statusChanged(QStringLiteral("Installing IVRA..."));
    install(QString(), unpackedSize(result.index),
            [index = result.index, plan = result.plan, cache = clientObjectCachePath(productId),
             version = clientRelease.latestVersion](const QString &staging,
                                                    ExtractionProgress *progress, QString *,
                                                    StagedFiles *staged) {
                FillCounts counts;
                const QString error = fillStagingFromIndex(index, plan, cache, staging, progress,
                                                           Placement::Best, &counts, staged);
                if (error.isEmpty())
                    logInfo(QStringLiteral("Differential update to %1: %2 linked, %3 "
                                           "cloned, %4 copied, %5 written from objects")
                                .arg(version, countOf(counts.linked.load(), "file", "files"))
                                .arg(counts.cloned.load())
                                .arg(counts.copied.load())
                                .arg(counts.written.load()));
                return error;
            });
}

void UpdatePass::fallBackToPackage(const QString &reason, bool fault)
{
    const QString line =
        QStringLiteral("Differential update not used, downloading the package: %1").arg(reason);
    if (fault)
        logWarning(line);
    else
        logInfo(line);
    differentialRefused = true;
    startClientDownload();
}

void UpdatePass::install(const QString &packagePath, qint64 totalBytes, const StagingFiller &fill,
                         const std::shared_ptr<GrowingFile> &growing)
{
    // A blank version would make the version folder the empty path, that is
    // the current directory: refuse it before any removal or extraction.
    if (clientRelease.latestVersion.trimmed().isEmpty()) {
        fail(QStringLiteral("Client manifest contains invalid version data."), true);
        return;
    }
    ClientInstallPlan plan = clientInstallPlan(productId, clientRelease.latestVersion,
                                               clientRelease.launchExePath, packagePath);
    plan.origin.packageUrl = clientRelease.artifactUrl;
    plan.origin.packageSha256 = clientRelease.artifactSha256.trimmed().toLower();
    plan.origin.packageSizeBytes = clientRelease.artifactSizeBytes;
    plan.origin.launchArgs = clientRelease.launchArgs;
    if (clientRelease.hasFileIndex) {
        plan.origin.indexUrl = clientRelease.fileIndexUrl;
        plan.origin.indexSha256 = clientRelease.fileIndexSha256.trimmed().toLower();
        plan.origin.indexSizeBytes = clientRelease.fileIndexSizeBytes;
    }
    if (fill)
        plan.sourceFolders = cleanFolders;
    plan.growing = growing;
    if (growing) {
        plan.packageBytes =
            clientRelease.artifactSizeBytes > 0 ? clientRelease.artifactSizeBytes : 0;
        plan.streamBudget = streamBudget(plan.packageBytes, indexedBytes);
    }
    // A release with a file index repairs and updates from its objects: its
    // package is not kept. A package-only release keeps its package.
    plan.packageTransient = !fill && clientRelease.hasFileIndex;
    installJob = new InstallJob(plan, totalBytes, fill, this);
    connect(installJob, &InstallJob::progress, this, &UpdatePass::progressChanged);
    connect(installJob, &InstallJob::finished, this, &UpdatePass::onInstalled);
    installJob->start();
}

void UpdatePass::onInstalled(const ClientInstallOutcome &outcome)
{
    const ClientInstallPlan plan = installJob->plan();
    const bool differentialInstall = installJob->filled();
    const qint64 bytesWritten = installJob->bytesWritten();
    retire(installJob);
    // Anything that goes wrong before promotion in a differential install is
    // a reason to fetch the package instead.
    if (differentialInstall && !outcome.promoted && !outcome.cancelled) {
        fallBackToPackage(outcome.error, true);
        return;
    }
    if (!outcome.error.isEmpty()) {
        if (!outcome.cause.isEmpty())
            logWarning(QStringLiteral("Extraction of %1 failed: %2 (%3)")
                           .arg(plan.packagePath, outcome.error, outcome.cause));
        fail(outcome.error, true);
        return;
    }
    if (!outcome.streamNote.isEmpty())
        logWarning(QStringLiteral("Extraction while the package arrived: %1; the rest was "
                                  "extracted once the package was checked")
                       .arg(outcome.streamNote));
    if (!outcome.cause.isEmpty())
        logWarning(QStringLiteral("Installed client %1 may not be on disk yet: %2")
                       .arg(plan.version, outcome.cause));
    const QString executable = recordInstalled(plan.versionPath, plan.launchExePath, plan.version);
    if (executable.isEmpty())
        return;
    logInfo(QStringLiteral("Installed client %1 in %2 ms: %3 written, %4")
                .arg(plan.version)
                .arg(installTime.elapsed())
                .arg(countOf(bytesWritten, "byte", "bytes"),
                     differentialInstall ? QStringLiteral("differential update")
                     : plan.growing ? QStringLiteral("full package, %1 extracted as it arrived")
                                          .arg(countOf(outcome.streamedEntries, "entry", "entries"))
                                    : QStringLiteral("full package")));
    // Fetched objects have served once the install is recorded.
    removeDirectoryIfPresent(clientObjectCachePath(productId));
    if (outcome.packageRemoved)
        logInfo(QStringLiteral("Removed the package %1: the release's file index serves repairs "
                               "and updates")
                    .arg(plan.packagePath));
    offerLaunch(executable);
}

void UpdatePass::pruneOldClientInstalls()
{
    const QStringList keep = retainedClientVersions(state, productId);
    const QString productPath = clientProductPath(productId);
    bool pruned = false;
    for (const QString &folder : prunableClientFolders(productPath, keep)) {
        QString error;
        if (discardDirectory(folder, &error)) {
            logInfo(QStringLiteral("Pruned client folder: %1").arg(folder));
            pruned = true;
        } else {
            logWarning(QStringLiteral("Unable to prune old client install: %1").arg(error));
        }
    }
    for (const QString &record : obsoleteInstallRecords(productPath, keep))
        QFile::remove(record);
    // Removing a version unlinks files the kept ones may share: the change is
    // the launcher's own, noted for the versions known to be whole (the one
    // just installed or adopted, and those whose files all matched their record).
    if (pruned) {
        QStringList whole;
        for (const QString &version : keep) {
            const QString folder = clientVersionPath(productId, version);
            if (version == clientRelease.latestVersion || cleanFolders.contains(folder))
                whole << folder;
        }
        noteOwnChanges(whole);
    }
    const QStringList obsolete = obsoleteDownloads(downloadsPath(), productId, keep,
                                                   parseReleaseVersion(GatewayBuildVersion));
    for (const QString &file : obsolete) {
        if (QFile::remove(file))
            logInfo(QStringLiteral("Removed obsolete download: %1").arg(file));
        else
            logWarning(QStringLiteral("Unable to remove obsolete download: %1").arg(file));
    }
}

void UpdatePass::setLaunchTarget(const QString &executable)
{
    launchExecutable = executable;
    launchArguments = clientRelease.launchArgs;
}

void UpdatePass::launch()
{
    if (launchExecutable.isEmpty()) {
        fail(QStringLiteral("IVRA is not ready to launch."), true);
        return;
    }
    addOwnerExecute(launchExecutable);
    logInfo(QStringLiteral("Launching client: %1").arg(launchExecutable));
    if (QProcess::startDetached(launchExecutable, launchArguments,
                                QFileInfo(launchExecutable).absolutePath())) {
        Q_EMIT quitRequested();
        return;
    }
    fail(QStringLiteral("Unable to launch IVRA executable: %1").arg(launchExecutable), true);
}

bool UpdatePass::setDownloadLimit(qint64 bytesPerSecond, QString *error)
{
    const QString problem = downloadLimitProblem(qMax<qint64>(0, bytesPerSecond));
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    GatewaySettings settings = loadGatewaySettings(gatewaySettingsPath());
    settings.downloadLimit = qMax<qint64>(0, bytesPerSecond);
    if (!saveGatewaySettings(gatewaySettingsPath(), settings, error))
        return false;
    rateLimiter->setRate(settings.downloadLimit);
    logInfo(QStringLiteral("Download speed limit set: %1").arg(rateText(settings.downloadLimit)));
    return true;
}

qint64 UpdatePass::downloadLimit() const
{
    return rateLimiter->rate();
}

void UpdatePass::rememberUpgradeDismissal()
{
    rememberDismissedUpgrade(state, buildEdition(), gatewayRelease);
    if (persistState())
        Q_EMIT upgradeOfferDismissed();
}

void UpdatePass::replaceLauncher()
{
    // Other launcher processes record failed versions: the file knows best.
    const QStringList failedVersions =
        loadGatewayState(gatewayStatePath()).state.launcher.failedVersions;
    const QString platform = launcherPlatform();
    const bool perUser =
        !perUserLauncherVersion(launcherRootPath(), QCoreApplication::applicationDirPath())
             .isEmpty();
    switch (
        selfUpdateRoute(gatewayRelease, GatewayBuildVersion, platform, perUser, failedVersions)) {
    case SelfUpdateRoute::Installer:
        startGatewayUpdate();
        return;
    case SelfUpdateRoute::CannotReplace:
        logInfo(QStringLiteral("A newer launcher (%1) is published; this one cannot replace "
                               "itself where it is installed.")
                    .arg(gatewayRelease.latestVersion));
        requestManifest(RequestPurpose::ClientManifest);
        return;
    case SelfUpdateRoute::TooOld:
        fail(QStringLiteral("This launcher (%1) is below the required %2; update it with the "
                            "system's package manager.")
                 .arg(GatewayBuildVersion, gatewayRelease.minimumVersion),
             false);
        return;
    case SelfUpdateRoute::FailedBefore:
        logInfo(QStringLiteral("The launcher %1 did not start here before; staying on %2.")
                    .arg(gatewayRelease.latestVersion, GatewayBuildVersion));
        requestManifest(RequestPurpose::ClientManifest);
        return;
    case SelfUpdateRoute::Package:
        break;
    }
    saveAcceptedTimestamps();
    launcherUpdate = new LauncherUpdate(network, gatewayRelease, platform, launcherMode, this);
    connect(launcherUpdate, &LauncherUpdate::statusChanged, this, &UpdatePass::statusChanged);
    connect(launcherUpdate, &LauncherUpdate::progressChanged, this, &UpdatePass::progressChanged);
    connect(launcherUpdate, &LauncherUpdate::transferred, this, &UpdatePass::showTransfer);
    connect(launcherUpdate, &LauncherUpdate::failed, this,
            [this](const QString &message, bool retry) {
                retire(launcherUpdate);
                fail(message, retry);
            });
    connect(launcherUpdate, &LauncherUpdate::handingOver, this, [this] {
        Q_EMIT detailChanged(QString()); // the download's figures are done with
        Q_EMIT launcherHandingOver();
    });
    connect(launcherUpdate, &LauncherUpdate::switched, this, &UpdatePass::launcherSwitched);
    connect(launcherUpdate, &LauncherUpdate::keptCurrent, this, [this]() {
        retire(launcherUpdate);
        Q_EMIT launcherKept();
        requestManifest(RequestPurpose::ClientManifest);
    });
    launcherUpdate->start();
}

void UpdatePass::startGatewayUpdate()
{
    const QUrl url = QUrl::fromUserInput(gatewayRelease.installerUrl);
    if (!isUsableUrl(url)) {
        fail(QStringLiteral("Gateway update installer URL is invalid."), false);
        return;
    }
    const QString fileName = QStringLiteral("IvraGateway_%1_%2_Setup.exe")
                                 .arg(gatewayRelease.edition, gatewayRelease.latestVersion);
    const QString target =
        QDir(downloadsPath()).absoluteFilePath(QStringLiteral("gateway/%1").arg(fileName));
    Q_EMIT statusChanged(QStringLiteral("Updating IVRA ENGINE 2.0 Beta..."));
    download = new DownloadJob(network, url, target, RequestPurpose::GatewayInstaller, 0, this);
    connect(download, &DownloadJob::progress, this, [this](qint64 received, qint64 total) {
        showTransfer(received, total);
        Q_EMIT progressChanged(percentOf(received, total));
    });
    connect(download, &DownloadJob::finished, this, &UpdatePass::onGatewayInstallerDownloaded);
    download->setExpectedSha256(gatewayRelease.installerSha256);
    download->start();
}

void UpdatePass::onGatewayInstallerDownloaded(const DownloadResult &result)
{
    retire(download);
    if (!result.ok()) {
        fail(result.message, true);
        return;
    }
    if (!verifyDownload(result, gatewayRelease.installerSha256,
                        QStringLiteral("Gateway installer")))
        return;
    Q_EMIT statusChanged(QStringLiteral("Installing the IVRA ENGINE 2.0 Beta update..."));
    // Only the verified file gets an execute bit.
    addOwnerExecute(result.targetPath);
    saveAcceptedTimestamps();
    if (QProcess::startDetached(result.targetPath, {QStringLiteral("/SP-")}, QString())) {
        logInfo(QStringLiteral("Started the Gateway installer %1.").arg(result.targetPath));
        passReport.installerStarted = true;
        Q_EMIT quitRequested();
        return;
    }
    fail(QStringLiteral("Unable to start Gateway installer: %1").arg(result.targetPath), true);
}
