#include "ui/mainwindow.h"

#include "app/buildidentity.h"
#include "ui_mainwindow.h"

#include <QDesktopServices>

void MainWindow::updateUpgradeOffer()
{
    bool visible = false;
    if (isUpgradeOfferDue(buildEdition(), gatewayRelease, gatewayState)) {
        upgradeUrl = QUrl::fromUserInput(gatewayRelease.upgradeUrl);
        visible = isUsableUrl(upgradeUrl);
    }
    ui->upgradeLabel->setVisible(visible);
    ui->upgradeButton->setVisible(visible);
    ui->rememberUpgradeButton->setVisible(visible);
}

void MainWindow::onUpgradeClicked()
{
    if (!isUsableUrl(upgradeUrl)) {
        ui->statusLabel->setText(QStringLiteral("Upgrade URL is not available."));
        return;
    }
    if (!QDesktopServices::openUrl(upgradeUrl))
        ui->statusLabel->setText(QStringLiteral("Unable to open upgrade URL."));
}

void MainWindow::onRememberUpgradeClicked()
{
    rememberDismissedUpgrade(gatewayState, buildEdition(), gatewayRelease);
    if (!persistGatewayState())
        return;
    ui->upgradeLabel->hide();
    ui->upgradeButton->hide();
    ui->rememberUpgradeButton->hide();
}
