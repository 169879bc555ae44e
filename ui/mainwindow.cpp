#include "ui/mainwindow.h"

#include "base/buildidentity.h"
#include "net/requestinfo.h"
#include "pass/updatepass.h"
#include "ui/statustext.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QMouseEvent>
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

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    ui->setupUi(this);
    // From the compiled-in resources: the Windows icon resource covers Windows only.
    setWindowIcon(QIcon(kWindowIcon));

    ui->titleLabel->setText(QStringLiteral("IVRA ENGINE 2.0 Beta"));
    ui->label->setText(QStringLiteral("Gateway Version"));
    ui->label_2->setText(QStringLiteral("Client Version"));
    ui->currentVersionValue->setText(GatewayBuildVersion);
    ui->requiredVersionValue->setText(QStringLiteral("-"));
    // The version rows are kept current but never shown.
    ui->label->hide();
    ui->currentVersionValue->hide();
    ui->label_2->hide();
    ui->requiredVersionValue->hide();
    hideProgress();
    showUpgradeOffer(false);
    ui->downloadButton->setText(QStringLiteral("Retry"));
    ui->downloadButton->hide();
    ui->launchButton->hide();
    ui->launchButton->setEnabled(false);
    // Below the status, in its style: shown beside Launch after a pass that
    // could not reach the release service.
    offlineLabel =
        new QLabel(QStringLiteral("Playing offline: the release service could not be reached."),
                   ui->contentContainer);
    offlineLabel->setObjectName(QStringLiteral("offlineLabel"));
    offlineLabel->setWordWrap(true);
    offlineLabel->setFont(ui->statusLabel->font());
    offlineLabel->hide();
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->progressBar), offlineLabel);
    // Under the bar: what a download is doing, or the installed version once ready.
    detailLabel = new QLabel(ui->contentContainer);
    detailLabel->setObjectName(QStringLiteral("detailLabel"));
    detailLabel->setFont(ui->statusLabel->font());
    detailLabel->hide();
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->progressBar) + 1, detailLabel);

    pass = new UpdatePass(this);
    connect(pass, &UpdatePass::started, this, &MainWindow::showPassStarted);
    connect(pass, &UpdatePass::statusChanged, ui->statusLabel, &QLabel::setText);
    connect(pass, &UpdatePass::clientVersionChanged, this, [this](const QString &text) {
        ui->requiredVersionValue->setText(text.isEmpty() ? QStringLiteral("-") : text);
    });
    connect(pass, &UpdatePass::progressChanged, this, &MainWindow::showProgress);
    connect(pass, &UpdatePass::detailChanged, this, [this](const QString &text) {
        detailLabel->setText(text);
        detailLabel->setVisible(!text.isEmpty());
    });
    connect(pass, &UpdatePass::failed, this, &MainWindow::showFailure);
    connect(pass, &UpdatePass::ready, this, &MainWindow::showReady);
    connect(pass, &UpdatePass::upgradeOfferDismissed, this, [this] { showUpgradeOffer(false); });
    connect(pass, &UpdatePass::quitRequested, this, [] { QCoreApplication::quit(); });
    // While a new launcher build starts, this one waits out of sight.
    connect(pass, &UpdatePass::launcherHandingOver, this, &QWidget::hide);
    connect(pass, &UpdatePass::launcherKept, this, &QWidget::show);
    connect(pass, &UpdatePass::launcherSwitched, this,
            [](int exitCode) { QCoreApplication::exit(exitCode); });

    connect(ui->downloadButton, &QAbstractButton::clicked, pass, &UpdatePass::start);
    connect(ui->launchButton, &QAbstractButton::clicked, this, &MainWindow::onLaunchClicked);
    connect(ui->upgradeButton, &QAbstractButton::clicked, this, &MainWindow::onUpgradeClicked);
    connect(ui->rememberUpgradeButton, &QAbstractButton::clicked, pass,
            &UpdatePass::rememberUpgradeDismissal);
    connect(ui->exitButton, &QAbstractButton::clicked, this, &QWidget::close);

    pass->start();
}

MainWindow::~MainWindow()
{
    // The pass goes first, while the widgets it reports to still exist; an
    // install under way stops and leaves nothing half-made.
    delete pass;
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

void MainWindow::hideProgress()
{
    ui->progressBar->hide();
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
}

void MainWindow::showUpgradeOffer(bool visible)
{
    ui->upgradeLabel->setVisible(visible);
    ui->upgradeButton->setVisible(visible);
    ui->rememberUpgradeButton->setVisible(visible);
}

void MainWindow::showPassStarted()
{
    offlineLabel->hide();
    detailLabel->hide();
    ui->downloadButton->hide();
    ui->launchButton->hide();
    ui->launchButton->setEnabled(false);
    showUpgradeOffer(false);
    hideProgress();
    ui->requiredVersionValue->setText(QStringLiteral("-"));
}

void MainWindow::showProgress(int percent)
{
    // Once shown, the bar stays until the pass ends or starts again.
    ui->progressBar->show();
    if (percent < 0) {
        ui->progressBar->setRange(0, 0);
        return;
    }
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(percent);
}

void MainWindow::showFailure(const QString &message, bool retryAllowed)
{
    hideProgress();
    detailLabel->hide();
    ui->launchButton->hide();
    ui->launchButton->setEnabled(false);
    ui->downloadButton->setVisible(retryAllowed);
    ui->downloadButton->setEnabled(retryAllowed);
    showUpgradeOffer(false);
    ui->statusLabel->setText(breakableText(message));
    // The release service is out of reach, but the installed client is whole.
    const bool offline = pass->playableOffline();
    offlineLabel->setVisible(offline);
    ui->launchButton->setVisible(offline);
    ui->launchButton->setEnabled(offline);
}

void MainWindow::showReady(bool upgradeOffered)
{
    hideProgress();
    offlineLabel->hide();
    ui->downloadButton->hide();
    ui->launchButton->show();
    ui->launchButton->setEnabled(true);
    showUpgradeOffer(upgradeOffered);
}

void MainWindow::onLaunchClicked()
{
    // One start per click sequence: a double click must not start the client twice.
    ui->launchButton->setEnabled(false);
    pass->launch();
}

void MainWindow::onUpgradeClicked()
{
    const QUrl url = pass->upgradeUrl();
    if (!isUsableUrl(url))
        ui->statusLabel->setText(QStringLiteral("Upgrade URL is not available."));
    else if (!QDesktopServices::openUrl(url))
        ui->statusLabel->setText(QStringLiteral("Unable to open upgrade URL."));
}
