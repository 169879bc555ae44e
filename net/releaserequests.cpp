#include "ui/mainwindow.h"

#include "app/logging.h"
#include "net/releaserequest.h"
#include "net/resume.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

QUrl MainWindow::clientManifestUrl() const
{
    return clientManifestUrlFor(clientProductId);
}

void MainWindow::requestGatewayManifest()
{
    requestManifest(gatewayManifestUrl(), QStringLiteral("Gateway release URL is not configured."),
                    QStringLiteral("Checking for updates..."),
                    QStringLiteral("Requesting Gateway manifest: %1"),
                    RequestPurpose::GatewayManifest,
                    QStringLiteral("Gateway manifest request timed out after %1 ms: %2"));
}

void MainWindow::requestClientManifest()
{
    requestManifest(clientManifestUrl(), QStringLiteral("Client release URL is not configured."),
                    QStringLiteral("Checking IVRA..."),
                    QStringLiteral("Requesting client manifest: %1"),
                    RequestPurpose::ClientManifest,
                    QStringLiteral("Client manifest request timed out after %1 ms: %2"));
}

void MainWindow::requestManifest(const QUrl &url, const QString &notConfiguredMessage,
                                 const QString &statusText, const QString &logFormat,
                                 RequestPurpose purpose, const QString &timeoutFormat)
{
    if (!isUsableUrl(url)) {
        showFailure(notConfiguredMessage, false);
        return;
    }
    ui->statusLabel->setText(statusText);
    logInfo(logFormat.arg(url.toString(QUrl::RemovePassword)));
    QNetworkReply *reply = sendReleaseRequest(url, purpose, timeoutFormat);
    if (signaturesRequired()) {
        // Both go out at once; the decision waits for the pair.
        manifestReply = reply;
        requestManifestSignature(url, purpose);
    }
}

QNetworkReply *MainWindow::sendReleaseRequest(const QUrl &url, RequestPurpose purpose,
                                              const QString &timeoutFormat)
{
    const QString urlText = url.toString(QUrl::RemovePassword);
    QNetworkReply *reply = networkManager->get(releaseRequest(url));
    tagReply(reply, purpose);
    // Bound to the reply, so the timer dies with it.
    QTimer::singleShot(kManifestRequestTimeoutMs, reply, [reply, urlText, timeoutFormat]() {
        if (!reply->isRunning())
            return;
        logWarning(timeoutFormat.arg(kManifestRequestTimeoutMs).arg(urlText));
        reply->abort();
    });
    return reply;
}

void MainWindow::onNetworkReplyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    const int purpose = reply->property(kRequestPurposeProperty).toInt();
    const qint64 startedAt = reply->property(kRequestStartedAtProperty).toLongLong();
    const qint64 elapsed = startedAt > 0 ? QDateTime::currentMSecsSinceEpoch() - startedAt : -1;
    const QString name = requestPurposeName(purpose);
    const bool fileReply = isFilePurpose(purpose);

    const bool signedExchange = signaturesRequired() && !fileReply;
    if (signedExchange && reply != manifestReply && reply != signatureReply) {
        // The other half of this exchange failed first and ended the pass.
        logInfo(QStringLiteral("%1 finished after %2 ms after its exchange ended; ignored")
                    .arg(name)
                    .arg(elapsed));
        return;
    }
    if (fileReply && reply != downloadReply) {
        // A newer download owns the paths and the file now; this one must not touch them.
        logWarning(
            QStringLiteral("%1 finished after %2 ms but a newer download is current; ignored")
                .arg(name)
                .arg(elapsed));
        return;
    }
    if (fileReply && downloadFile) {
        consumeDownloadData(reply);
        if (downloadFailure.isEmpty() && !downloadFile->flush())
            downloadFailure = QStringLiteral("Unable to write download file: %1")
                                  .arg(downloadFile->errorString());
        downloadFile->close();
        delete downloadFile;
        downloadFile = nullptr;
        downloadReply = nullptr;
    }
    if (fileReply && !downloadFailure.isEmpty()) {
        // Stopped by the launcher itself: too many bytes, or the disk refused them.
        discardPart();
        logWarning(QStringLiteral("%1 stopped after %2 ms: %3")
                       .arg(name)
                       .arg(elapsed)
                       .arg(downloadFailure));
        if (isDifferentialPurpose(purpose) && downloadBytesExceeded)
            fallBackToPackage(QStringLiteral("%1: more bytes than declared").arg(name));
        else
            showFailure(downloadFailure, true);
        return;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool judged = reply->url().scheme().startsWith(QLatin1String("http"));
    const bool httpFailure = judged && (status < 200 || status > 299);
    // Qt also flags an HTTP error status as a reply error; an answer that came
    // with a status is judged by that status, not reported as a network failure.
    if (reply->error() != QNetworkReply::NoError && !(httpFailure && status != 0)) {
        // What arrived stays for the next try to continue, when the server allows it.
        if (fileReply)
            keepPartForResume();
        if (signedExchange)
            abandonSignedManifest();
        logWarning(QStringLiteral("%1 failed after %2 ms: networkError=%3, message=%4")
                       .arg(name)
                       .arg(elapsed)
                       .arg(int(reply->error()))
                       .arg(reply->errorString()));
        showFailure(
            isSignaturePurpose(purpose)
                ? QStringLiteral("Unable to download release signature: %1.")
                      .arg(reply->errorString())
                : QStringLiteral("Unable to download release data: %1").arg(reply->errorString()),
            true);
        return;
    }

    if (httpFailure) {
        const QByteArray body = fileReply ? QByteArray() : reply->readAll();
        if (fileReply)
            discardPart();
        if (signedExchange)
            abandonSignedManifest();
        // Qt refuses a redirect from https to http and reports only the status;
        // the reply's URL is then already the refused target.
        const QUrl requested = reply->request().url();
        if (status >= 300 && status < 400 && requested.scheme() == QLatin1String("https") &&
            reply->url().scheme() == QLatin1String("http"))
            logWarning(QStringLiteral("%1 redirect from https to http refused: %2 -> %3")
                           .arg(name, requested.toString(QUrl::RemovePassword),
                                reply->url().toString(QUrl::RemovePassword)));
        logWarning(QStringLiteral("%1 failed after %2 ms: HTTP %3, body=%4")
                       .arg(name)
                       .arg(elapsed)
                       .arg(status)
                       .arg(replyBodyPreview(body)));
        if (isDifferentialPurpose(purpose)) {
            fallBackToPackage(QStringLiteral("%1: HTTP %2").arg(name).arg(status));
            return;
        }
        showFailure(isSignaturePurpose(purpose)
                        ? QStringLiteral("Unable to download release signature: %1.")
                              .arg(QStringLiteral("HTTP %1").arg(status))
                        : QStringLiteral("Release service returned HTTP %1.").arg(status),
                    true);
        return;
    }

    if (!fileReply) {
        const QByteArray body = reply->readAll();
        logInfo(
            QStringLiteral("%1 received after %2 ms: HTTP %3").arg(name).arg(elapsed).arg(status));
        if (signedExchange)
            onSignedManifestPart(reply, body);
        else if (purpose == int(RequestPurpose::GatewayManifest))
            handleGatewayManifest(body);
        else
            handleClientManifest(body);
        return;
    }

    downloadSha256 = sha256Finish(downloadHash);
    QFile::remove(resumeStatePath(downloadPartPath));
    // QFile::rename does not overwrite, so a file left by an earlier download goes first.
    QFile::remove(downloadTargetPath);
    if (!QFile::rename(downloadPartPath, downloadTargetPath)) {
        QFile::remove(downloadPartPath);
        showFailure(
            QStringLiteral("Unable to finalize downloaded file: %1").arg(downloadTargetPath), true);
        return;
    }
    logInfo(QStringLiteral("%1 downloaded after %2 ms: %3")
                .arg(name)
                .arg(elapsed)
                .arg(downloadTargetPath));
    if (purpose == int(RequestPurpose::GatewayInstaller))
        onGatewayInstallerDownloaded();
    else if (purpose == int(RequestPurpose::ClientFileIndex))
        onClientFileIndexDownloaded();
    else if (purpose == int(RequestPurpose::ClientObject))
        onClientObjectDownloaded();
    else
        onClientPackageDownloaded();
}
