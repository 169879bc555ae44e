#pragma once

#include "base/buildidentity.h"
#include "release/rollout.h"
#include "release/signature.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a release engineer publishes, judged by exactly the launcher's rules.
// Every function returns an empty string on success and the first defect
// otherwise; nothing is written when a release would be refused.

// The objects' zstd level unless told otherwise: the best size that keeps
// publishing within four times a plain `zip -r -6` of the same folder, on two
// cores, for a client of text and incompressible data (bench/publish.sh).
inline constexpr int kDefaultZstdLevel = 13;

// Mistakes a release engineer makes, refused unless said on purpose.
struct ReleaseGuards
{
    bool replace = false;          // publish other content under a published version
    bool allowDowngrade = false;   // publish a version below the published latest
    bool unsignedManifest = false; // write a manifest unsigned into a signed tree
};

// The products and editions some launcher build asks for.
QStringList knownProducts();
QStringList knownEditions();

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
    QString sourceFolder;        // zipped by the tool, keeping Unix permission bits ...
    QString sourceZip;           // ... or a ready package
    ReleaseSecretKey signingKey; // signs the manifest when set
    bool fileIndex = true;       // objects and the file index, for differential updates
    int zstdLevel = kDefaultZstdLevel;
    ReleaseRollout rollout; // a staged rollout, when present
    ReleaseGuards guards;
};

struct GatewayPublication
{
    QString treeRoot;
    QString baseUrl;
    QString product = GatewayProductName;
    QString edition;
    QString channel;
    QString version;
    QString minimumVersion;
    QString installerFile; // for builds without a package for their platform
    // The launcher's own files for one platform (IvraLauncher, ivra-update and
    // what else they need), from a folder or a ready ZIP.
    QString packageFolder;
    QString packageZip;
    QString platform;   // default: the platform of this machine
    QString upgradeUrl; // optional offer of the full product
    QString fullLatestVersion;
    ReleaseSecretKey signingKey;
    ReleaseRollout rollout;
    ReleaseGuards guards;
};

// Packs a folder into a ZIP whose entries keep their Unix mode bits; the same
// folder always gives the same bytes.
QString zipFolder(const QString &folder, const QString &zipPath);
// Writes the package, then (with a signing key) the manifest's signature, then
// releases/manifests/client-<product>.json, last and atomically.
// report receives what was written and checked, and notes worth reading.
QString publishClient(const ClientPublication &publication, QStringList *report = nullptr);
// The platforms a launcher package may be published for.
QStringList knownPlatforms();
// Writes the installer or the launcher package, then (with a key) the
// manifest's signature, then releases/manifests/gateway-<edition>.json.
QString publishGateway(const GatewayPublication &publication, QStringList *report = nullptr);
// What a check asks of a tree beyond the launcher's own rules.
struct TreeCheckOptions
{
    QList<ReleasePublicKey> keys; // every manifest signed by one of them
    QString channel;              // every manifest of this channel (empty: any)
};

// Checks every manifest below treeRoot/releases/manifests as the launcher will
// see it, including the artifacts they name (which must lie in the tree); with
// keys, every manifest must also carry a signature the launcher accepts.
QString checkReleaseTree(const QString &treeRoot, const QString &baseUrl,
                         const TreeCheckOptions &options = {}, QStringList *report = nullptr);
