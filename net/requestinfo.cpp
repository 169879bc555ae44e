#include "net/requestinfo.h"

#include "base/buildidentity.h"
#include "base/buildsettings.h"

#include <QUrlQuery>

bool isUsableUrl(const QUrl &url)
{
    return url.isValid() && !url.scheme().isEmpty();
}

QString requestPurposeName(int purpose)
{
    switch (purpose) {
    case int(RequestPurpose::GatewayManifest):
        return QStringLiteral("gateway manifest");
    case int(RequestPurpose::GatewayInstaller):
        return QStringLiteral("gateway installer");
    case int(RequestPurpose::ClientManifest):
        return QStringLiteral("client manifest");
    case int(RequestPurpose::ClientZip):
        return QStringLiteral("client zip");
    case int(RequestPurpose::GatewaySignature):
        return QStringLiteral("gateway signature");
    case int(RequestPurpose::ClientSignature):
        return QStringLiteral("client signature");
    case int(RequestPurpose::ClientFileIndex):
        return QStringLiteral("client file index");
    case int(RequestPurpose::ClientObject):
        return QStringLiteral("client object");
    case int(RequestPurpose::LauncherPackage):
        return QStringLiteral("launcher package");
    default:
        return QStringLiteral("request");
    }
}

bool isFilePurpose(int purpose)
{
    return purpose == int(RequestPurpose::GatewayInstaller) ||
           purpose == int(RequestPurpose::ClientZip) ||
           purpose == int(RequestPurpose::LauncherPackage) || isDifferentialPurpose(purpose);
}

bool isDifferentialPurpose(int purpose)
{
    return purpose == int(RequestPurpose::ClientFileIndex) ||
           purpose == int(RequestPurpose::ClientObject);
}

bool isSignaturePurpose(int purpose)
{
    return purpose == int(RequestPurpose::GatewaySignature) ||
           purpose == int(RequestPurpose::ClientSignature);
}

QUrl signatureUrlFor(const QUrl &manifestUrl)
{
    QUrl url = manifestUrl;
    url.setPath(manifestUrl.path() + QStringLiteral(".minisig"));
    return url;
}

QString replyBodyPreview(const QByteArray &body)
{
    if (body.isEmpty())
        return QStringLiteral("<empty>");
    QString preview = QString::fromUtf8(body.left(kReplyBodyPreviewBytes));
    if (body.size() > kReplyBodyPreviewBytes)
        preview += QStringLiteral("... <truncated>");
    return preview;
}

QByteArray gatewayUserAgent()
{
    return QStringLiteral("IvraGateway/%1").arg(GatewayBuildVersion).toUtf8();
}

void addQueryItemIfMissing(QUrl &url, const QString &key, const QString &value)
{
    QUrlQuery query(url);
    if (query.hasQueryItem(key))
        return;
    query.addQueryItem(key, value);
    url.setQuery(query);
}

QUrl gatewayManifestUrl()
{
    QString text = BuildSettings::gatewayManifestUrl().trimmed();
    if (text.isEmpty())
        text = BuildSettings::defaultGatewayManifestUrl().trimmed();
    QUrl url = QUrl::fromUserInput(text);
    addQueryItemIfMissing(url, QStringLiteral("edition"), buildEdition());
    return url;
}

QUrl clientManifestUrlFor(const QString &productId)
{
    QUrl url = QUrl::fromUserInput(BuildSettings::clientManifestUrl().trimmed());
    addQueryItemIfMissing(url, QStringLiteral("product"), productId);
    return url;
}
