// The state loader on arbitrary file contents: whatever it accepts saves and
// loads back to the same state.
#include "fuzzsupport.h"
#include "storage/gatewaystate.h"

#include <QFile>

namespace {
bool sameState(const GatewayState &a, const GatewayState &b)
{
    if (a.dismissedUpgradeMajorByEdition != b.dismissedUpgradeMajorByEdition ||
        a.manifestTimestamps != b.manifestTimestamps || a.installId != b.installId ||
        a.clients.keys() != b.clients.keys())
        return false;
    for (auto it = a.clients.cbegin(); it != a.clients.cend(); ++it) {
        const ClientInstallState other = b.clients.value(it.key());
        if (other.activeVersion != it->activeVersion ||
            other.previousVersion != it->previousVersion)
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString input = scratchRoot() + QStringLiteral("/input.json");
    const QString saved = scratchRoot() + QStringLiteral("/saved.json");
    QFile file(input);
    FUZZ_ASSERT(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    const GatewayStateLoadResult loaded = loadGatewayState(input);
    FUZZ_ASSERT(saveGatewayState(saved, loaded.state));
    const GatewayStateLoadResult reloaded = loadGatewayState(saved);
    FUZZ_ASSERT(reloaded.error.isEmpty());
    FUZZ_ASSERT(sameState(loaded.state, reloaded.state));
    return 0;
}
