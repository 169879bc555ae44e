// ivra-release: publishes client and Gateway releases into a release tree and
// checks a tree the way the launcher will see it.
#include "release/publishing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ivra-release"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("ivra-release client|gateway|check --tree DIR --base-url URL [options]\n"
                       "client:  --product --channel --version --minimum --exe [--arg A]... "
                       "(--from-folder F | --from-zip Z)\n"
                       "gateway: --edition --channel --version --minimum --installer FILE "
                       "[--upgrade-url U --full-version X]\n"
                       "check:   validates every manifest of the tree and the artifacts it names"));
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
    if (!parser.isSet("tree") || !parser.isSet("base-url")) {
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
