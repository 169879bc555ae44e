#include "ui/mainwindow.h"

#include "app/logging.h"
#include "storage/paths.h"

bool MainWindow::persistGatewayState()
{
    QString error;
    if (saveGatewayState(gatewayStatePath(), gatewayState, &error)) {
        manifestTimestampsChanged = false;
        return true;
    }
    showFailure(error, true);
    return false;
}

// A pass that accepted a newer signature but made no save of its own writes
// the timestamps when it ends. Only they are merged into the file as it stands,
// so a failed install's in-memory changes are never written by the way.
void MainWindow::saveAcceptedTimestamps()
{
    if (!manifestTimestampsChanged)
        return;
    manifestTimestampsChanged = false;
    const GatewayStateLoadResult loaded = loadGatewayState(gatewayStatePath());
    GatewayState state = loaded.error.isEmpty() ? loaded.state : gatewayState;
    for (auto it = gatewayState.manifestTimestamps.cbegin();
         it != gatewayState.manifestTimestamps.cend(); ++it)
        rememberManifestTimestamp(state, it.key(), it.value());
    QString error;
    if (!saveGatewayState(gatewayStatePath(), state, &error))
        logWarning(QStringLiteral("Unable to remember release data timestamps: %1").arg(error));
}
