#pragma once

#include <QString>

// The fixed identity of this Gateway build. The version and edition come from
// the build's settings unit; the display name is the product's own.
extern const QString GatewayBuildVersion;
extern const QString GatewayBuildEdition;
extern const QString ProductDisplayName;
// The product a Gateway manifest names: signed builds refuse any other.
extern const QString GatewayProductName;

// GatewayBuildEdition trimmed and lower-cased; every edition comparison uses it.
QString buildEdition();

// "ivra-demo" for the demo edition, "ivra-full" for the full one, otherwise empty.
QString clientProductIdForEdition(const QString &edition);
