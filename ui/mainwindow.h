#pragma once

#include "net/requestinfo.h"
#include "release/clientrelease.h"
#include "release/gatewayrelease.h"
#include "storage/gatewaystate.h"

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
    void onNetworkReplyFinished(QNetworkReply *reply);
    void startDownload(const QUrl &url, const QString &targetPath, RequestPurpose purpose);
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    bool verifyDownloadedFile(const QString &path, const QString &expectedSha256,
                              const QString &label);
    void startClientDownload();
    void onClientPackageDownloaded();

    // State (storage/persiststate.cpp).
    bool persistGatewayState();

    // Installation (install/).
    bool installClientPackage(const QString &packagePath);
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
    QPoint dragOffset;
};
