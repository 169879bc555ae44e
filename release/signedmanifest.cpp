#include "ui/mainwindow.h"

#include "app/buildsettings.h"
#include "app/logging.h"
#include "storage/paths.h"

#include <QDateTime>
#include <QNetworkReply>

void MainWindow::requestManifestSignature(const QUrl &manifestUrl, RequestPurpose manifestPurpose)
{
    const RequestPurpose purpose = manifestPurpose == RequestPurpose::GatewayManifest
                                       ? RequestPurpose::GatewaySignature
                                       : RequestPurpose::ClientSignature;
    const QUrl url = signatureUrlFor(manifestUrl);
    logInfo(QStringLiteral("Requesting %1: %2")
                .arg(requestPurposeName(int(purpose)), url.toString(QUrl::RemovePassword)));
    signedManifestPurpose = int(manifestPurpose);
    signedManifestFileName = signedFileNameForUrl(manifestUrl.toString());
    signedManifestBody.clear();
    signedManifestSignature.clear();
    signatureReply = sendReleaseRequest(url, purpose,
                                        requestPurposeName(int(purpose)) +
                                            QStringLiteral(" request timed out after %1 ms: %2"));
}

void MainWindow::abandonSignedManifest()
{
    // Forget both first: aborting the other reply reports it at once, and the
    // dispatcher must then see it as belonging to an ended exchange.
    QNetworkReply *others[] = {manifestReply, signatureReply};
    manifestReply = nullptr;
    signatureReply = nullptr;
    for (QNetworkReply *other : others)
        if (other && other->isRunning())
            other->abort();
}

void MainWindow::onSignedManifestPart(QNetworkReply *reply, const QByteArray &body)
{
    if (reply == manifestReply) {
        manifestReply = nullptr;
        signedManifestBody = body;
    } else {
        signatureReply = nullptr;
        signedManifestSignature = body;
    }
    if (manifestReply || signatureReply)
        return;

    const QString name = requestPurposeName(signedManifestPurpose);
    const QString fileName = signedManifestFileName;
    const SignatureVerification verified =
        verifyReleaseSignature(signedManifestBody, signedManifestSignature, releaseKeys, fileName);
    if (!verified.error.isEmpty()) {
        logWarning(QStringLiteral("%1 signature refused: %2").arg(name, verified.error));
        showFailure(QStringLiteral("Release data signature is not valid."), true);
        return;
    }
    const SignatureFreshness freshness = checkSignatureFreshness(
        verified.timestamp, acceptedManifestTimestamp(gatewayState, fileName),
        BuildSettings::releaseMaxAgeDays(), QDateTime::currentSecsSinceEpoch());
    if (!freshness.message.isEmpty()) {
        logWarning(QStringLiteral("%1 signature refused: %2").arg(name, freshness.detail));
        showFailure(freshness.message, true);
        return;
    }
    if (rememberManifestTimestamp(gatewayState, fileName, verified.timestamp))
        manifestTimestampsChanged = true;
    logInfo(QStringLiteral("%1 signature verified: %2, key %3, timestamp %4")
                .arg(name, fileName, keyIdText(verified.keyId))
                .arg(verified.timestamp));
    if (signedManifestPurpose == int(RequestPurpose::GatewayManifest))
        handleGatewayManifest(signedManifestBody);
    else
        handleClientManifest(signedManifestBody);
}
