#include "ui/mainwindow.h"

#include "app/logging.h"
#include "install/launchpath.h"
#include "release/version.h"
#include "storage/paths.h"

void MainWindow::handleClientManifest(const QByteArray &body)
{
    const ClientReleaseResult result = parseClientRelease(body);
    if (!isValid(result)) {
        logWarning(QStringLiteral("Client manifest parse failed: %1, body=%2")
                       .arg(result.error, replyBodyPreview(body)));
        showFailure(QStringLiteral("Unable to read IVRA client manifest: %1").arg(result.error),
                    true);
        return;
    }
    clientRelease = result.release;
    setClientVersionText(clientRelease.latestVersion);

    if (clientRelease.product != clientProductId) {
        showFailure(
            QStringLiteral("Client manifest product '%1' does not match this Gateway build '%2'.")
                .arg(clientRelease.product, clientProductId),
            false);
        return;
    }
    const ReleaseVersion latest = parseReleaseVersion(clientRelease.latestVersion);
    const ReleaseVersion minimum = parseReleaseVersion(clientRelease.minimumVersion);
    if (!isValid(latest) || !isValid(minimum)) {
        showFailure(QStringLiteral("Client manifest contains invalid version data."), false);
        return;
    }
    if (!isAtLeast(latest, minimum)) {
        showFailure(QStringLiteral("Client manifest latest version is below minimum version."),
                    false);
        return;
    }

    // Versions are matched as text: the folder names are the version texts.
    const QString active = clientInstallStateFor(gatewayState, clientProductId).activeVersion;
    const QString activeExe =
        resolveLaunchPath(clientVersionPath(clientProductId, active), clientRelease.launchExePath);
    if (!active.isEmpty() && !activeExe.isEmpty() &&
        active.trimmed() == clientRelease.latestVersion.trimmed()) {
        logInfo(QStringLiteral("Client is ready: active %1, latest %2")
                    .arg(active, clientRelease.latestVersion));
        setLaunchTarget(activeExe);
        showReady();
        return;
    }

    const QString latestExe =
        resolveLaunchPath(clientVersionPath(clientProductId, clientRelease.latestVersion),
                          clientRelease.launchExePath);
    if (latestExe.isEmpty()) {
        logInfo(QStringLiteral("Downloading client: active %1, latest %2")
                    .arg(active.isEmpty() ? QStringLiteral("none") : active,
                         clientRelease.latestVersion));
        startClientDownload();
        return;
    }
    // The newest version is already unpacked (an earlier install whose save failed): adopt it.
    logInfo(
        QStringLiteral("Adopting unpacked client version %1: active %2")
            .arg(clientRelease.latestVersion, active.isEmpty() ? QStringLiteral("none") : active));
    recordInstalledClientVersion(gatewayState, clientProductId, clientRelease.latestVersion);
    if (!persistGatewayState())
        return;
    pruneOldClientInstalls(clientProductId);
    setLaunchTarget(latestExe);
    showReady();
}
