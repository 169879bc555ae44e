// ivra-release: publishes client and Gateway releases into a release tree and
// checks a tree the way the launcher will see it.
#include "release/publishing.h"

#include "release/clientrelease.h"
#include "release/gatewayrelease.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTextStream>

namespace {
// Fetches base/relative into the same place below tree, as the launcher would ask for it.
QString fetchInto(QNetworkAccessManager &manager, const QString &base, const QString &relative,
                  const QString &tree)
{
    const QUrl url(base + QLatin1Char('/') + relative);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray("ivra-release"));
    QNetworkReply *reply = manager.get(request);
    const QString target = QDir(tree).absoluteFilePath(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QSaveFile file(target);
    file.open(QIODevice::WriteOnly);
    QObject::connect(reply, &QIODevice::readyRead, [&] { file.write(reply->readAll()); });
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    file.write(reply->readAll());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString error;
    if (status != 0 && (status < 200 || status > 299))
        error = QStringLiteral("Release service returned HTTP %1.").arg(status);
    else if (reply->error() != QNetworkReply::NoError)
        error = QStringLiteral("Unable to download release data: %1").arg(reply->errorString());
    reply->deleteLater();
    if (error.isEmpty() && !file.commit())
        error = QStringLiteral("Unable to write '%1'.").arg(target);
    return error.isEmpty() ? error : QStringLiteral("%1: %2").arg(url.toString(), error);
}

// Checks what a served release service delivers: its manifests and the artifacts they name.
QString checkServed(const QString &baseUrl, const QString &edition, const QString &product)
{
    QString base = baseUrl.trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QTemporaryDir tree;
    QNetworkAccessManager manager;
    const QString gateway = QStringLiteral("releases/manifests/gateway-%1.json").arg(edition);
    const QString client = QStringLiteral("releases/manifests/client-%1.json").arg(product);
    for (const QString &manifest : {gateway, client}) {
        const QString error = fetchInto(manager, base, manifest, tree.path());
        if (!error.isEmpty())
            return error;
    }
    QFile gatewayFile(tree.filePath(gateway));
    QFile clientFile(tree.filePath(client));
    gatewayFile.open(QIODevice::ReadOnly);
    clientFile.open(QIODevice::ReadOnly);
    const QStringList artifacts{parseGatewayRelease(gatewayFile.readAll()).release.installerUrl,
                                parseClientRelease(clientFile.readAll()).release.artifactUrl};
    for (const QString &url : artifacts) {
        if (!url.startsWith(base + QLatin1Char('/')))
            continue; // reported by the tree check below
        const QString error = fetchInto(manager, base, url.mid(base.size() + 1), tree.path());
        if (!error.isEmpty())
            return error;
    }
    return checkReleaseTree(tree.path(), base);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ivra-release"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "ivra-release client|gateway|check --tree DIR --base-url URL [options]\n"
        "client:  --product --channel --version --minimum --exe [--arg A]... "
        "(--from-folder F | --from-zip Z)\n"
        "gateway: --edition --channel --version --minimum --installer FILE "
        "[--upgrade-url U --full-version X]\n"
        "check:   validates every manifest of the tree (--tree) or of the service at --base-url\n"
        "         (--edition demo, --product ivra-demo) and the artifacts they name"));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("client, gateway or check"));
    const QStringList valued{"tree",    "base-url",  "product",     "channel",     "version",
                             "minimum", "exe",       "arg",         "from-folder", "from-zip",
                             "edition", "installer", "upgrade-url", "full-version"};
    for (const QString &name : valued)
        parser.addOption(QCommandLineOption(name, name, QStringLiteral("value")));
    parser.process(app);

    QTextStream err(stderr);
    const QString command = parser.positionalArguments().value(0);
    QString error;
    const bool servedCheck = command == QLatin1String("check") && !parser.isSet("tree");
    if ((!parser.isSet("tree") && !servedCheck) || !parser.isSet("base-url")) {
        err << "ivra-release: --tree and --base-url are required.\n";
        return 2;
    }
    if (command == QLatin1String("client")) {
        ClientPublication p;
        p.treeRoot = parser.value("tree");
        p.baseUrl = parser.value("base-url");
        p.product = parser.value("product");
        p.channel = parser.value("channel");
        p.version = parser.value("version");
        p.minimumVersion = parser.isSet("minimum") ? parser.value("minimum") : p.version;
        p.exePath = parser.value("exe");
        p.args = parser.values("arg");
        p.sourceFolder = parser.value("from-folder");
        p.sourceZip = parser.value("from-zip");
        error = publishClient(p);
    } else if (command == QLatin1String("gateway")) {
        GatewayPublication p;
        p.treeRoot = parser.value("tree");
        p.baseUrl = parser.value("base-url");
        p.edition = parser.value("edition");
        p.channel = parser.value("channel");
        p.version = parser.value("version");
        p.minimumVersion = parser.isSet("minimum") ? parser.value("minimum") : p.version;
        p.installerFile = parser.value("installer");
        p.upgradeUrl = parser.value("upgrade-url");
        p.fullLatestVersion = parser.value("full-version");
        error = publishGateway(p);
    } else if (servedCheck) {
        error = checkServed(
            parser.value("base-url"),
            parser.isSet("edition") ? parser.value("edition") : QStringLiteral("demo"),
            parser.isSet("product") ? parser.value("product") : QStringLiteral("ivra-demo"));
    } else if (command == QLatin1String("check")) {
        error = checkReleaseTree(parser.value("tree"), parser.value("base-url"));
    } else {
        err << parser.helpText();
        return 2;
    }
    if (!error.isEmpty()) {
        err << "ivra-release: " << error << "\n";
        return 1;
    }
    QTextStream(stdout) << "ivra-release: " << command << " ok\n";
    return 0;
}
