#include "base/buildidentity.h"

const QString ProductDisplayName = QStringLiteral("IVRA ENGINE 2.0 Beta");
const QString GatewayProductName = QStringLiteral("IVRA Gateway");

QString buildEdition()
{
    return GatewayBuildEdition.trimmed().toLower();
}

QString clientProductIdForEdition(const QString &edition)
{
    const QString normalised = edition.trimmed().toLower();
    if (normalised == QLatin1String("demo"))
        return QStringLiteral("ivra-demo");
    if (normalised == QLatin1String("full"))
        return QStringLiteral("ivra-full");
    return QString();
}
