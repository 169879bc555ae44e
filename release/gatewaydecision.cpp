#include "ui/mainwindow.h"

#include "app/buildidentity.h"
#include "app/logging.h"
#include "release/version.h"

void MainWindow::handleGatewayManifest(const QByteArray &body)
{
    const GatewayReleaseResult result = parseGatewayRelease(body);
    if (!isValid(result)) {
        logWarning(QStringLiteral("Gateway manifest parse failed: %1, body=%2")
                       .arg(result.error, replyBodyPreview(body)));
        showFailure(QStringLiteral("Unable to read Gateway release manifest: %1").arg(result.error),
                    true);
        return;
    }
    // Stored before the tests, so the window holds the manifest even when a test stops the pass.
    gatewayRelease = result.release;

    if (gatewayRelease.edition.trimmed().toLower() != GatewayBuildEdition.trimmed().toLower()) {
        showFailure(
            QStringLiteral("Gateway manifest edition '%1' does not match this Gateway build '%2'.")
                .arg(gatewayRelease.edition, buildEdition()),
            false);
        return;
    }

    const ReleaseVersion current = parseReleaseVersion(GatewayBuildVersion);
    const ReleaseVersion latest = parseReleaseVersion(gatewayRelease.latestVersion);
    const ReleaseVersion minimum = parseReleaseVersion(gatewayRelease.minimumVersion);
    if (!isValid(latest) || !isValid(minimum)) {
        showFailure(QStringLiteral("Gateway manifest contains invalid version data."), false);
        return;
    }
    if (!isAtLeast(latest, minimum)) {
        showFailure(QStringLiteral("Gateway manifest latest version is below minimum version."),
                    false);
        return;
    }
    // Every build below the latest replaces itself; a newer build is never downgraded.
    const QString versions =
        QStringLiteral("build %1, latest %2, minimum %3")
            .arg(GatewayBuildVersion, gatewayRelease.latestVersion, gatewayRelease.minimumVersion);
    if (isAtLeast(current, minimum) && isAtLeast(current, latest)) {
        logInfo(QStringLiteral("Gateway is current: %1").arg(versions));
        requestClientManifest();
    } else {
        logInfo(QStringLiteral("Gateway update required: %1").arg(versions));
        startGatewayUpdate();
    }
}
