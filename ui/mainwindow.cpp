#include "ui/mainwindow.h"

#include "app/buildidentity.h"
#include "app/buildsettings.h"
#include "app/logging.h"
#include "release/version.h"
#include "storage/paths.h"
#include "ui/statustext.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QIcon>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPixmap>

namespace {
const QString kBackgroundImage = QStringLiteral(":/images/images/ivra_zaph_splash_square.png");
const QString kWindowIcon = QStringLiteral(":/images/images/ivra-gateway.png");

// Rounds half away from zero, as the drag arithmetic expects.
QPoint roundedPoint(const QPointF &point)
{
    auto round = [](qreal v) { return int(v >= 0 ? v + 0.5 : v - 0.5); };
    return QPoint(round(point.x()), round(point.y()));
}
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), networkManager(new QNetworkAccessManager(this)),
      clientProductId(clientProductIdForEdition(buildEdition())),
      workerProgress(std::make_shared<ExtractionProgress>())
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    ui->setupUi(this);
    // From the compiled-in resources: the Windows icon resource covers Windows only.
    setWindowIcon(QIcon(kWindowIcon));

    ui->titleLabel->setText(QStringLiteral("IVRA ENGINE 2.0 Beta"));
    ui->label->setText(QStringLiteral("Gateway Version"));
    ui->label_2->setText(QStringLiteral("Client Version"));
    ui->currentVersionValue->setText(GatewayBuildVersion);
    setClientVersionText(QStringLiteral("-"));

    ui->label->hide();
    ui->currentVersionValue->hide();
    ui->label_2->hide();
    ui->requiredVersionValue->hide();
    ui->progressBar->hide();
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    ui->upgradeLabel->hide();
    ui->upgradeButton->hide();
    ui->rememberUpgradeButton->hide();
    ui->downloadButton->setText(QStringLiteral("Retry"));
    ui->downloadButton->hide();
    ui->launchButton->hide();
    ui->launchButton->setEnabled(false);

    releaseKeys = parseReleasePublicKeys(BuildSettings::releasePublicKeys(), &releaseKeysError);

    const GatewayStateLoadResult loaded = loadGatewayState(gatewayStatePath());
    if (loaded.error.isEmpty())
        gatewayState = loaded.state;
    else
        logWarning(QStringLiteral("Gateway state will be reset: %1").arg(loaded.error));

    connect(ui->downloadButton, &QAbstractButton::clicked, this, &MainWindow::startUpdateCheck);
    connect(ui->launchButton, &QAbstractButton::clicked, this, &MainWindow::onLaunchClicked);
    connect(ui->upgradeButton, &QAbstractButton::clicked, this, &MainWindow::onUpgradeClicked);
    connect(ui->rememberUpgradeButton, &QAbstractButton::clicked, this,
            &MainWindow::onRememberUpgradeClicked);
    connect(ui->exitButton, &QAbstractButton::clicked, this, &QWidget::close);
    connect(networkManager, &QNetworkAccessManager::finished, this,
            &MainWindow::onNetworkReplyFinished);

    startUpdateCheck();
}

MainWindow::~MainWindow()
{
    // Exit during an install: the worker stops at its next chunk and removes
    // its staging folder; nothing half-made is promoted or recorded.
    workerProgress->cancelled = true;
    workerDone.waitForFinished();
    // Closing the file leaves the ".part" on disk; the next download of the same artifact removes
    // it.
    delete downloadFile;
    delete ui;
}

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    dragOffset = roundedPoint(event->globalPosition()) - frameGeometry().topLeft();
    event->accept();
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    move(roundedPoint(event->globalPosition()) - dragOffset);
    event->accept();
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const QPixmap pixmap(kBackgroundImage);
    if (!pixmap.isNull())
        ui->backgroundLabel->setPixmap(pixmap.scaledToHeight(height(), Qt::SmoothTransformation));
}

void MainWindow::startUpdateCheck()
{
    launchExecutablePath.clear();
    launchArguments.clear();
    launchWorkingDirectory.clear();
    gatewayRelease = GatewayRelease();
    clientRelease = ClientRelease();
    upgradeUrl = QUrl();
    fileIndex = FileIndex();
    differentialPlan = DifferentialPlan();
    differentialRefused = false;
    objectBytesTotal = 0;

    ui->downloadButton->hide();
    ui->launchButton->hide();
    ui->launchButton->setEnabled(false);
    ui->upgradeLabel->hide();
    ui->upgradeButton->hide();
    ui->rememberUpgradeButton->hide();
    ui->progressBar->hide();
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    setClientVersionText(QStringLiteral("-"));

    const ReleaseVersion version = parseReleaseVersion(GatewayBuildVersion);
    if (!isValid(version)) {
        showFailure(QStringLiteral("Invalid Gateway version: %1").arg(version.error), false);
        return;
    }
    if (clientProductId.isEmpty()) {
        showFailure(QStringLiteral("Invalid Gateway edition: %1").arg(buildEdition()), false);
        return;
    }
    if (!releaseKeysError.isEmpty()) {
        // A signed build must never fall back to trusting unsigned releases.
        logWarning(QStringLiteral("Release signing keys are not valid: %1").arg(releaseKeysError));
        showFailure(QStringLiteral("Release signing keys are not valid."), false);
        return;
    }
    requestGatewayManifest();
}

void MainWindow::showFailure(const QString &message, bool retryAllowed)
{
    // Support reads the log, not the window: every ending of a pass is there.
    logWarning(QStringLiteral("Pass ended: %1 (%2)")
                   .arg(message, retryAllowed ? QStringLiteral("Retry offered")
                                              : QStringLiteral("no Retry")));
    saveAcceptedTimestamps();
    ui->progressBar->hide();
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    ui->launchButton->hide();
    ui->launchButton->setEnabled(false);
    ui->downloadButton->setVisible(retryAllowed);
    ui->downloadButton->setEnabled(retryAllowed);
    ui->upgradeLabel->hide();
    ui->upgradeButton->hide();
    ui->rememberUpgradeButton->hide();
    ui->label->hide();
    ui->currentVersionValue->hide();
    ui->label_2->hide();
    ui->requiredVersionValue->hide();
    ui->statusLabel->setText(breakableText(message));
}

void MainWindow::showReady()
{
    saveAcceptedTimestamps();
    ui->progressBar->hide();
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    ui->label->hide();
    ui->currentVersionValue->hide();
    ui->label_2->hide();
    ui->requiredVersionValue->hide();
    ui->downloadButton->hide();
    ui->launchButton->show();
    ui->launchButton->setEnabled(true);
    ui->statusLabel->setText(QStringLiteral("IVRA ENGINE 2.0 Beta is ready."));
    updateUpgradeOffer();
}

void MainWindow::setClientVersionText(const QString &text)
{
    ui->requiredVersionValue->setText(text.isEmpty() ? QStringLiteral("-") : text);
}
