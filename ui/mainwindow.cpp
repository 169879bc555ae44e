#include "ui/mainwindow.h"

#include "base/buildidentity.h"
#include "base/logging.h"
#include "net/ratelimit.h"
#include "net/requestinfo.h"
#include "pass/updatepass.h"
#include "ui/statustext.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QInputDialog>
#include <QMenu>
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
    detailLabel->setWordWrap(true);
    detailLabel->setFont(ui->statusLabel->font());
    detailLabel->hide();
    ui->verticalLayout->insertWidget(ui->verticalLayout->indexOf(ui->progressBar) + 1, detailLabel);

    // Beside Retry: Pause while the client downloads, Resume once paused.
    pauseButton = new QPushButton(QStringLiteral("Pause"), ui->contentContainer);
    pauseButton->setObjectName(QStringLiteral("pauseButton"));
    pauseButton->hide();
    ui->buttonLayout->insertWidget(ui->buttonLayout->indexOf(ui->downloadButton) + 1, pauseButton);
    // Before Exit: verify, roll back and the speed limit, while no pass runs.
    optionsButton = new QPushButton(QStringLiteral("Options"), ui->contentContainer);
    optionsButton->setObjectName(QStringLiteral("optionsButton"));
    optionsMenu = new QMenu(optionsButton);
    optionsButton->setMenu(optionsMenu);
    ui->buttonLayout->insertWidget(ui->buttonLayout->indexOf(ui->exitButton), optionsButton);
    connect(optionsMenu, &QMenu::aboutToShow, this, &MainWindow::fillOptionsMenu);

    pass = new UpdatePass(this);
    connect(pass, &UpdatePass::started, this, &MainWindow::showPassStarted);
    connect(pass, &UpdatePass::statusChanged, ui->statusLabel, &QLabel::setText);
    connect(pass, &UpdatePass::clientVersionChanged, this, [this](const QString &text) {
        ui->requiredVersionValue->setText(text.isEmpty() ? QStringLiteral("-") : text);
    });
    connect(pass, &UpdatePass::progressChanged, this, &MainWindow::showProgress);
    connect(pass, &UpdatePass::detailChanged, this, [this](const QString &text) {
        const QString shown = verifiedText.isEmpty() || text.isEmpty()
                                  ? text
                                  : QStringLiteral("%1 · %2").arg(text, verifiedText);
        detailLabel->setText(shown);
        detailLabel->setVisible(!shown.isEmpty());
    });
    connect(pass, &UpdatePass::verified, this, [this](int checked, int damaged, int repaired) {
        verifiedText = QStringLiteral("%1 checked, %2 damaged, %3 repaired.")
                           .arg(countOf(checked, "file", "files"))
                           .arg(damaged)
                           .arg(repaired);
    });
    connect(pass, &UpdatePass::pausableChanged, this, [this](bool pausable) {
        pauseButton->setText(QStringLiteral("Pause"));
        pauseButton->setVisible(pausable);
        pauseButton->setEnabled(pausable);
    });
    connect(pass, &UpdatePass::paused, this, [this] {
        passRunning = false;
        pauseButton->setText(QStringLiteral("Resume"));
        pauseButton->show();
        pauseButton->setEnabled(true);
    });
    connect(pauseButton, &QAbstractButton::clicked, this, &MainWindow::onPauseClicked);
    connect(pass, &UpdatePass::failed, this, &MainWindow::showFailure);
    connect(pass, &UpdatePass::ready, this, &MainWindow::showReady);
    connect(pass, &UpdatePass::upgradeOfferDismissed, this, [this] { showUpgradeOffer(false); });
    connect(pass, &UpdatePass::quitRequested, this, [] { QCoreApplication::quit(); });
    // While a new launcher build starts, this window says so (and later
    // starts come to it); it closes once the new build is healthy.
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
    passRunning = true;
    verifiedText.clear();
    pauseButton->hide();
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
    passRunning = false;
    pauseButton->hide();
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
    passRunning = false;
    pauseButton->hide();
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

void MainWindow::onPauseClicked()
{
    // Resume is a new pass: it continues the kept part with a range request.
    pauseButton->setEnabled(false);
    if (pauseButton->text() == QLatin1String("Pause"))
        pass->pause();
    else
        pass->start();
}

void MainWindow::fillOptionsMenu()
{
    optionsMenu->clear();
    QAction *verify =
        optionsMenu->addAction(QStringLiteral("Verify files"), pass, &UpdatePass::verify);
    verify->setEnabled(!passRunning);
    const QString from = pass->rolledBackFrom();
    const QString target = pass->rollbackTarget();
    if (!from.isEmpty()) {
        optionsMenu->addAction(QStringLiteral("Undo roll back"), pass, &UpdatePass::undoRollback)
            ->setEnabled(!passRunning);
    } else if (!target.isEmpty()) {
        optionsMenu
            ->addAction(QStringLiteral("Roll back to %1").arg(target), pass, &UpdatePass::rollBack)
            ->setEnabled(!passRunning);
    }
    optionsMenu->addSeparator();
    optionsMenu->addAction(
        QStringLiteral("Download speed limit: %1...").arg(rateText(pass->downloadLimit())), this,
        &MainWindow::askDownloadLimit);
}

void MainWindow::askDownloadLimit()
{
    bool accepted = false;
    const double megabytes = QInputDialog::getDouble(
        this, QStringLiteral("Download speed limit"),
        QStringLiteral("The most all downloads may take together, in MB/s (0 for no limit):"),
        double(pass->downloadLimit()) / 1e6, 0, 100000, 3, &accepted);
    if (!accepted)
        return;
    QString error;
    if (!pass->setDownloadLimit(qint64(megabytes * 1e6), &error))
        ui->statusLabel->setText(breakableText(error));
}
