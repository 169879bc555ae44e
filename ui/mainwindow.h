#pragma once

#include "install/clientinstall.h"
#include "install/differential.h"
#include "net/filedigest.h"
#include "net/requestinfo.h"
#include "release/clientrelease.h"
#include "release/gatewayrelease.h"
#include "release/signature.h"
#include "storage/gatewaystate.h"

#include <QFuture>
#include <QMainWindow>
#include <QPoint>
#include <QStringList>
#include <QUrl>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;

namespace Ui {
class MainWindow;
}

// The launcher's one window and the owner of everything that lives for a run:
// the form, the network manager, the persisted state, the release records of
// the current pass, the launch target and the running download. Its members
// are defined in the files of the subsystems they belong to.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The pass and its outcome (ui/mainwindow.cpp).
    void startUpdateCheck();
    void showFailure(const QString &message, bool retryAllowed);
    void showReady();
    void setClientVersionText(const QString &text);

    // Upgrade offer (ui/upgradeoffer.cpp).
    void updateUpgradeOffer();
    void onUpgradeClicked();
    void onRememberUpgradeClicked();

    // Decisions (release/).
    void handleGatewayManifest(const QByteArray &body);
    void handleClientManifest(const QByteArray &body);

    // Requests, downloads and the reply dispatcher (net/).
    QUrl clientManifestUrl() const;
    void requestGatewayManifest();
    void requestClientManifest();
    void requestManifest(const QUrl &url, const QString &notConfiguredMessage,
                         const QString &statusText, const QString &logFormat,
                         RequestPurpose purpose, const QString &timeoutFormat);
    QNetworkReply *sendReleaseRequest(const QUrl &url, RequestPurpose purpose,
                                      const QString &timeoutFormat);
    void onNetworkReplyFinished(QNetworkReply *reply);
    void startDownload(const QUrl &url, const QString &targetPath, RequestPurpose purpose,
                       qint64 declaredSize = 0);
    void sendDownloadRequest(const QUrl &url, RequestPurpose purpose, const QByteArray &validator);
    bool consumeDownloadData(QNetworkReply *reply);
    bool keepPartForResume();
    void discardPart();
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    bool verifyDownloadedFile(const QString &path, const QString &expectedSha256,
                              const QString &label);
    void startClientDownload();
    void onClientPackageDownloaded();

    // Signed releases (release/signedmanifest.cpp): a manifest reaches its
    // decision only once its signature has been fetched and holds.
    bool signaturesRequired() const { return !releaseKeys.isEmpty(); }
    void requestManifestSignature(const QUrl &manifestUrl, RequestPurpose manifestPurpose);
    void onSignedManifestPart(QNetworkReply *reply, const QByteArray &body);
    void abandonSignedManifest();

    // Differential updates (install/differentialupdate.cpp): only the files
    // that changed are fetched; any fault in that path falls back to the package.
    QStringList installedVersionFolders() const;
    void startDifferentialUpdate();
    void onClientFileIndexDownloaded();
    void onDifferentialPlanned(const DifferentialPlan &plan);
    void fetchNextObject();
    void onClientObjectDownloaded();
    void installFromObjects();
    void fallBackToPackage(const QString &reason, bool fault = true);

    // State (storage/persiststate.cpp).
    bool persistGatewayState();
    void saveAcceptedTimestamps();

    // Installation (install/).
    void installClientPackage(const QString &packagePath);
    void runInstallWorker(const ClientInstallPlan &plan, qint64 totalBytes,
                          const StagingFiller &fill);
    void onClientInstallFinished(const ClientInstallPlan &plan,
                                 const ClientInstallOutcome &outcome);
    void pruneOldClientInstalls(const QString &productId);
    void setLaunchTarget(const QString &executablePath);
    void onLaunchClicked();
    void startGatewayUpdate();
    void onGatewayInstallerDownloaded();

    Ui::MainWindow *ui;
    QNetworkAccessManager *networkManager;
    GatewayState gatewayState;
    GatewayRelease gatewayRelease;
    ClientRelease clientRelease;
    QString clientProductId;
    QString launchExecutablePath;
    QStringList launchArguments;
    QString launchWorkingDirectory;
    QUrl upgradeUrl;
    QNetworkReply *downloadReply = nullptr;
    QFile *downloadFile = nullptr;
    QString downloadPartPath;
    QString downloadTargetPath;
    // The running download: the digest of what is on disk so far, where it
    // resumed, what was written, the size the manifest declares (0: none),
    // and a failure found while writing that ended it.
    Sha256Stream downloadHash;
    QString downloadSha256;
    qint64 downloadOffset = 0;
    qint64 downloadWritten = 0;
    qint64 downloadDeclaredSize = 0;
    bool downloadAnswered = false;
    QString downloadFailure;
    bool downloadBytesExceeded = false;
    int downloadPurpose = -1;
    // The differential update of this pass: its index, which files come from
    // where, the object being fetched, and the bytes fetched against all.
    FileIndex fileIndex;
    DifferentialPlan differentialPlan;
    qsizetype nextObject = 0;
    qsizetype currentObject = -1;
    qint64 objectBytesDone = 0;    // fetched or found in the cache, for the progress
    qint64 objectBytesFetched = 0; // fetched by this pass, for the log
    qint64 objectBytesTotal = 0;
    bool differentialRefused = false;
    // Work off the window's thread (resumed-part digests, the install); the
    // destructor cancels it and waits, so nothing outlives the window.
    std::shared_ptr<ExtractionProgress> workerProgress;
    QFuture<void> workerDone;
    QPoint dragOffset;
    // Signed builds only: the keys, and the manifest and signature of the
    // request under way (a reply not among them belongs to an ended exchange).
    QList<ReleasePublicKey> releaseKeys;
    QString releaseKeysError;
    QNetworkReply *manifestReply = nullptr;
    QNetworkReply *signatureReply = nullptr;
    int signedManifestPurpose = -1;
    QString signedManifestFileName;
    QByteArray signedManifestBody;
    QByteArray signedManifestSignature;
    bool manifestTimestampsChanged = false;
};
