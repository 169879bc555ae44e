#pragma once

#include <QString>
#include <QStringList>

// What a release engineer publishes, judged by exactly the launcher's rules.
// Every function returns an empty string on success and the first defect
// otherwise; nothing is written when a release would be refused.

struct ClientPublication
{
    QString treeRoot; // folder served as the release service's document root
    QString baseUrl;  // where that folder will be served from, e.g. https://host:8443
    QString product;
    QString channel;
    QString version;
    QString minimumVersion;
    QString exePath;
    QStringList args;
    QString sourceFolder; // zipped by the tool, keeping Unix permission bits ...
    QString sourceZip;    // ... or a ready package
};

struct GatewayPublication
{
    QString treeRoot;
    QString baseUrl;
    QString product = QStringLiteral("IVRA Gateway");
    QString edition;
    QString channel;
    QString version;
    QString minimumVersion;
    QString installerFile;
    QString upgradeUrl; // optional offer of the full product
    QString fullLatestVersion;
};

// Packs a folder into a ZIP whose entries keep their Unix mode bits.
QString zipFolder(const QString &folder, const QString &zipPath);
// Writes the package, then releases/manifests/client-<product>.json, last and atomically.
QString publishClient(const ClientPublication &publication);
// Writes the installer, then releases/manifests/gateway-<edition>.json.
QString publishGateway(const GatewayPublication &publication);
// Checks every manifest below treeRoot/releases/manifests as the launcher will
// see it, including the artifacts they name (which must lie in the tree).
QString checkReleaseTree(const QString &treeRoot, const QString &baseUrl);
