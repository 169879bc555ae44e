#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// What a network reply is for; stored on the reply as "ivraRequestPurpose".
enum class RequestPurpose : int {
    GatewayManifest = 0,
    GatewayInstaller = 1,
    ClientManifest = 2,
    ClientZip = 3,
    // The detached signatures of the two manifests, in signed builds only.
    GatewaySignature = 4,
    ClientSignature = 5,
    // Differential updates: the file index of a client release, and its objects.
    ClientFileIndex = 6,
    ClientObject = 7,
    // The launcher's own package for its platform, on Linux.
    LauncherPackage = 8,
};

inline constexpr int kManifestRequestTimeoutMs = 10000;
inline constexpr int kReplyBodyPreviewBytes = 2048;
// Release data is read with a bound while it arrives, so that a host cannot
// fill the launcher's memory: a manifest is a few KiB, a signature four lines,
// a file index about 300 bytes a file (some 28,000 files).
inline constexpr qint64 kManifestReplyLimitBytes = 1 << 20;
inline constexpr qint64 kSignatureReplyLimitBytes = 4096;
inline constexpr qint64 kFileIndexLimitBytes = 8 << 20;
// A download that receives fewer bytes than this in one window is taken as
// stalled and aborted (a few bytes a second would otherwise hold the pass forever).
inline constexpr int kDownloadStallWindowMs = 30000;
inline constexpr qint64 kDownloadStallMinimumBytes = 1024;
inline constexpr char kRequestStartedAtProperty[] = "ivraRequestStartedAtMs";
inline constexpr char kRequestPurposeProperty[] = "ivraRequestPurpose";

// A URL the launcher will use: valid and with a scheme.
bool isUsableUrl(const QUrl &url);
QString requestPurposeName(int purpose);
bool isFilePurpose(int purpose);
// The index and the objects of a differential update: a fault there falls back to the package.
bool isDifferentialPurpose(int purpose);
bool isSignaturePurpose(int purpose);
// The signature of a manifest: ".minisig" appended to its path, same query.
QUrl signatureUrlFor(const QUrl &manifestUrl);
// The log form of a body: "<empty>", or at most 2048 bytes with a truncation marker.
QString replyBodyPreview(const QByteArray &body);
// "IvraGateway/<build version>".
QByteArray gatewayUserAgent();
void addQueryItemIfMissing(QUrl &url, const QString &key, const QString &value);
// The configured Gateway manifest URL (or the built-in default) with its "edition" item.
QUrl gatewayManifestUrl();
// The configured client manifest URL with its "product" item; no fallback.
QUrl clientManifestUrlFor(const QString &productId);
