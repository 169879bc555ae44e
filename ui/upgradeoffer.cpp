#include "ui/mainwindow.h"

#include "app/buildidentity.h"
#include "ui_mainwindow.h"

#include <QDesktopServices>

namespace {
bool isUsableLink(const QUrl &url)
{
    return url.isValid() && !url.scheme().isEmpty();
}
} // namespace

void MainWindow::updateUpgradeOffer()
{
    bool visible = false;
    if (isUpgradeOfferDue(buildEdition(), gatewayRelease, gatewayState)) {
        upgradeUrl = QUrl::fromUserInput(gatewayRelease.upgradeUrl);
        visible = isUsableLink(upgradeUrl);
    }
    ui->upgradeLabel->setVisible(visible);
    ui->upgradeButton->setVisible(visible);
    ui->rememberUpgradeButton->setVisible(visible);
}

void MainWindow::onUpgradeClicked()
{
    if (!isUsableLink(upgradeUrl)) {
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
