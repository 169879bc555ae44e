#include "ui/mainwindow.h"

#include "storage/paths.h"

bool MainWindow::persistGatewayState()
{
    QString error;
    if (saveGatewayState(gatewayStatePath(), gatewayState, &error))
        return true;
    showFailure(error, true);
    return false;
}
