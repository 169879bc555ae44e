// ivra-release: publishes client and Gateway releases into a release tree,
// signs them, and checks a tree the way the launcher will see it.
#include "releasetool/publishing.h"

#include "release/clientrelease.h"
#include "release/fileindex.h"
#include "release/gatewayrelease.h"
#include "releasetool/objects.h"
#include "releasetool/push.h"
#include "releasetool/rollouts.h"
#include "releasetool/signing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
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

// Checks what a served release service delivers: its manifests (and with keys
// their signatures) and the artifacts they name.
QString checkServed(const QString &baseUrl, const QString &edition, const QString &product,
                    const TreeCheckOptions &options, QStringList *report)
{
    QString base = baseUrl.trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QTemporaryDir tree;
    QNetworkAccessManager manager;
    const QString gateway = QStringLiteral("releases/manifests/gateway-%1.json").arg(edition);
    const QString client = QStringLiteral("releases/manifests/client-%1.json").arg(product);
    QStringList manifests{gateway, client};
    if (!options.keys.isEmpty())
        manifests << gateway + QStringLiteral(".minisig") << client + QStringLiteral(".minisig");
    for (const QString &manifest : manifests) {
        const QString error = fetchInto(manager, base, manifest, tree.path());
        if (!error.isEmpty())
            return error;
    }
    QFile gatewayFile(tree.filePath(gateway));
    QFile clientFile(tree.filePath(client));
    gatewayFile.open(QIODevice::ReadOnly);
    clientFile.open(QIODevice::ReadOnly);
    const ClientRelease release = parseClientRelease(clientFile.readAll()).release;
    const GatewayRelease gatewayRelease = parseGatewayRelease(gatewayFile.readAll()).release;
    // A mirror serves the paths the manifests name below the release
    // service's own base URL: the part of an artifact URL before "/releases/".
    QString named = base;
    const qsizetype releases = release.artifactUrl.indexOf(QLatin1String("/releases/"));
    if (!release.artifactUrl.startsWith(base + QLatin1Char('/')) && releases > 0)
        named = release.artifactUrl.left(releases);
    QStringList artifacts{gatewayRelease.installerUrl, release.artifactUrl};
    for (const LauncherPackage &package : gatewayRelease.packages)
        if (!artifacts.contains(package.url))
            artifacts << package.url;
    if (release.hasFileIndex)
        artifacts << release.fileIndexUrl;
    for (qsizetype i = 0; i < artifacts.size(); ++i) {
        const QString url = artifacts.at(i);
        if (!url.startsWith(named + QLatin1Char('/')))
            continue; // reported by the tree check below
        const QString relative = url.mid(named.size() + 1);
        const QString error = fetchInto(manager, base, relative, tree.path());
        if (!error.isEmpty())
            return error;
        if (release.hasFileIndex && url == release.fileIndexUrl) {
            // Every object the index names, beside it as on the host.
            QFile index(tree.filePath(relative));
            index.open(QIODevice::ReadOnly);
            const QString folder = url.left(url.lastIndexOf(QLatin1Char('/')) + 1);
            for (const FileIndexEntry &entry : parseFileIndex(index.readAll()).index.files)
                artifacts << folder + objectRelativePath(entry.object);
        }
    }
    // Named as served: the local copy is gone once the check returns.
    const QString local = QDir(tree.path()).absolutePath() + QLatin1Char('/');
    auto asServed = [&](QString text) { return text.replace(local, base + QLatin1Char('/')); };
    QStringList lines;
    if (named != base)
        lines << QStringLiteral("served by %1 as a mirror of %2").arg(base, named);
    const QString error = checkReleaseTree(tree.path(), named, options, &lines);
    if (report)
        for (const QString &line : lines)
            report->append(asServed(line));
    return asServed(error);
}
} // namespace

namespace {
struct OptionHelp
{
    const char *name;
    const char *description;
};

// Every valued option of every command, with what it means.
const OptionHelp kOptions[] = {
    {"tree", "Release tree: the folder served as the release service's document root."},
    {"base-url", "Address the tree is served from, e.g. https://releases.example.com."},
    {"product", "Client product id, e.g. ivra-demo (check: of the served client manifest)."},
    {"channel", "Release channel written into the manifest, e.g. stable (check: the channel "
                "every manifest must have)."},
    {"version", "Version being published, x.y.z."},
    {"minimum", "Oldest version still allowed to run (default: --version; with a rollout, the "
                "minimum already published)."},
    {"exe", "Client executable inside the package, relative, e.g. bin/ivra-demo-client."},
    {"arg", "An argument the launcher passes to the client; repeat for more."},
    {"from-folder", "Folder to pack as the client package, or with gateway as the launcher's "
                    "package for --platform (Unix permission bits kept)."},
    {"from-zip", "Ready ZIP package to publish as it is (client, or gateway: the launcher's)."},
    {"platform", "gateway: platform of the launcher package, linux-x86_64 (the default here) or "
                 "linux-aarch64."},
    {"edition", "Gateway edition, e.g. demo (check: of the served Gateway manifest)."},
    {"installer", "Gateway installer file to publish (for builds with no package for their "
                  "platform)."},
    {"upgrade-url", "Link of the full product's upgrade offer (demo edition)."},
    {"full-version", "Latest version of the full product, x.y.z, with --upgrade-url."},
    {"secret-key", "Secret key file that signs the manifests (see keygen)."},
    {"public-key", "Public key file or key line; check then also verifies every signature."},
    {"zstd-level", "client: zstd level of the objects of a file index, 1 to 19 (default 13; 19 "
                   "makes compressible files about 8 % smaller and publishing about 3 times "
                   "slower)."},
    {"keep", "gc: how many newest releases of each product to keep."},
    {"rollout", "client, gateway: publish to this share of installs only, e.g. 50 or 12.5."},
    {"rollout-schedule",
     "client, gateway: a staged rollout over time: hours:percent,... from --rollout-start, or "
     "nothing for the default (1, 2, 5, 10, 20, 50, 100 % a day apart)."},
    {"rollout-start",
     "Start of --rollout-schedule, UTC, e.g. 2026-12-01T00:00:00Z (default: now)."},
    {"percent", "rollout: set the share of installs the release reaches, e.g. 25."},
    {"to", "push: where to upload, as rclone names it: remote:bucket/prefix (the remote set up "
           "with rclone config or RCLONE_CONFIG_* variables, which hold the credentials)."},
};

// Guard rails a release engineer may lift on purpose.
const OptionHelp kGuardFlags[] = {
    {"replace", "client, gateway: publish other content under a version already published "
                "(installs that have it keep the old files)."},
    {"allow-downgrade", "client, gateway: publish a version below the published latest (a "
                        "rollback; every launcher goes back to it)."},
    {"unsigned", "client, gateway, rollout: write the manifest unsigned into a signed tree "
                 "(signed launchers then refuse it)."},
};

// The rollout command's changes, without a value.
const OptionHelp kRolloutFlags[] = {
    {"pause", "rollout: hold a schedule at the share it has reached."},
    {"resume", "rollout: run a paused schedule on, shifted by the time it was paused."},
    {"halt", "rollout: share 0: no further install updates; those that did keep the release."},
    {"complete", "rollout: every install (100 %)."},
    {"status", "rollout: print the share in force and the schedule."},
};

const char kUsage[] =
    "ivra-release COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  client   publish a client release into a tree\n"
    "  gateway  publish a Gateway release into a tree\n"
    "  keygen   make a signing key pair (--secret-key FILE --public-key FILE [--force]\n"
    "           [--no-passphrase]); the secret key is encrypted with a passphrase asked on\n"
    "           the terminal or taken from IVRA_RELEASE_PASSPHRASE, which also opens it\n"
    "  sign     re-sign every manifest of a tree with a fresh timestamp\n"
    "  check    check a tree (--tree) or a served release service (--base-url only)\n"
    "  gc       remove the packages, file indexes and objects of releases older than the\n"
    "           newest --keep N of each product (never what a manifest names)\n"
    "  rollout  change the staged rollout of a published manifest (--product or --edition)\n"
    "  push     upload a tree to object storage with rclone (--tree --to [--dry-run]\n"
    "           [--check --base-url URL]): artifacts first, then the manifests\n"
    "\n"
    "Examples:\n"
    "  ivra-release keygen --secret-key ~/keys/ivra.key --public-key ivra.pub\n"
    "  ivra-release client --tree tree --base-url https://127.0.0.1:8443 --product ivra-demo\n"
    "      --channel stable --version 1.1.0 --minimum 1.0.0 --exe bin/ivra-demo-client\n"
    "      --arg --demo --from-folder clientsrc --secret-key ~/keys/ivra.key\n"
    "  ivra-release gateway --tree tree --base-url https://127.0.0.1:8443 --edition demo\n"
    "      --channel stable --version 2026.1024.1 --installer IvraGateway_Setup.exe\n"
    "      --secret-key ~/keys/ivra.key\n"
    "  ivra-release gateway --tree tree --base-url https://127.0.0.1:8443 --edition demo\n"
    "      --channel stable --version 2026.1030.0 --from-folder launcher/ --platform linux-x86_64\n"
    "      --secret-key ~/keys/ivra.key      (launchers installed per user replace themselves)\n"
    "  ivra-release sign --tree tree --secret-key ~/keys/ivra.key\n"
    "  ivra-release check --tree tree --base-url https://127.0.0.1:8443 --public-key ivra.pub\n"
    "  ivra-release check --base-url https://127.0.0.1:8443 --public-key ivra.pub\n"
    "  ivra-release gc --tree tree --keep 3\n"
    "  ivra-release client ... --rollout-schedule            (1 % now, 100 % in six days)\n"
    "  ivra-release rollout --tree tree --product ivra-demo --pause --secret-key ~/keys/ivra.key\n"
    "  ivra-release rollout --tree tree --edition demo --status\n"
    "  ivra-release push --tree tree --to r2:ivra-releases --check\n"
    "      --base-url https://releases.example.com      (then checks what is served there)";

int fail(const QString &message, int code = 1)
{
    QTextStream(stderr) << "ivra-release: " << message << "\n";
    return code;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ivra-release"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kUsage));
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral("client, gateway, keygen, sign, check, gc, rollout or push"));
    for (const OptionHelp &option : kOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(option.name),
                                            QString::fromLatin1(option.description),
                                            QStringLiteral("value")));
    for (const OptionHelp &flag : kGuardFlags)
        parser.addOption(QCommandLineOption(QString::fromLatin1(flag.name),
                                            QString::fromLatin1(flag.description)));
    for (const OptionHelp &flag : kRolloutFlags)
        parser.addOption(QCommandLineOption(QString::fromLatin1(flag.name),
                                            QString::fromLatin1(flag.description)));
    parser.addOption(QCommandLineOption(QStringLiteral("force"),
                                        QStringLiteral("keygen: replace an existing secret key.")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("force-timestamp"),
        QStringLiteral("client, gateway, sign, rollout: sign even when the signature replaced is "
                       "dated later than this machine's clock.")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("no-passphrase"),
        QStringLiteral("keygen: leave the secret key unencrypted (for throwaway keys).")));
    parser.addOption(
        QCommandLineOption(QStringLiteral("dry-run"),
                           QStringLiteral("push: list what would be uploaded, upload nothing.")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("check"),
        QStringLiteral("push: end by checking the served tree at --base-url, as check does.")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("no-file-index"),
        QStringLiteral("client: publish no objects and no file index (full packages only).")));
    // A bare --rollout-schedule means the default schedule.
    QStringList arguments = app.arguments();
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--rollout-schedule") &&
            (i + 1 == arguments.size() || arguments.at(i + 1).startsWith(QLatin1String("--"))))
            arguments.insert(i + 1, QStringLiteral("default"));
    }
    parser.process(arguments);

    const QString command = parser.positionalArguments().value(0);
    allowEarlierSignatureTimes(parser.isSet("force-timestamp"));
    QTextStream out(stdout);
    // Paths as given, relative to where the tool runs.
    auto pathOption = [&parser](const char *name) {
        return parser.isSet(name) ? QFileInfo(parser.value(name)).absoluteFilePath() : QString();
    };

    if (command == QLatin1String("keygen")) {
        if (!parser.isSet("secret-key") || !parser.isSet("public-key"))
            return fail(QStringLiteral("keygen needs --secret-key and --public-key."), 2);
        QString line;
        bool encrypted = false;
        const QString error =
            writeKeyPair(parser.value("secret-key"), parser.value("public-key"),
                         parser.isSet("force"), !parser.isSet("no-passphrase"), &line, &encrypted);
        if (!error.isEmpty())
            return fail(error);
        out << "ivra-release: secret key " << parser.value("secret-key")
            << (encrypted ? " (encrypted with your passphrase)"
                          : " (not encrypted: keep it where only you can read it)")
            << ", public key " << parser.value("public-key") << "\n"
            << "ivra-release: keep the secret key off the release host; build a launcher that "
               "trusts it, in the launcher's source folder, with:\n"
            << "cmake -S . -B build -DIVRA_RELEASE_PUBLIC_KEYS=" << line << "\n";
        return 0;
    }

    ReleaseSecretKey signingKey;
    if (parser.isSet("secret-key")) {
        const ReleaseSecretKeyResult read = openSecretKey(pathOption("secret-key"));
        if (!read.error.isEmpty())
            return fail(read.error);
        signingKey = read.key;
    }
    QList<ReleasePublicKey> publicKeys;
    if (parser.isSet("public-key")) {
        QString error;
        publicKeys = readPublicKeys(parser.value("public-key"), &error);
        if (publicKeys.isEmpty())
            return fail(error.isEmpty() ? QStringLiteral("No public key given.") : error);
    }

    if (command == QLatin1String("sign")) {
        if (!parser.isSet("tree") || signingKey.seed.isEmpty())
            return fail(QStringLiteral("sign needs --tree and --secret-key."), 2);
        QStringList written;
        const QString error = signReleaseTree(pathOption("tree"), signingKey, &written);
        if (!error.isEmpty())
            return fail(error);
        for (const QString &file : written)
            out << "ivra-release: signed " << file << "\n";
        return 0;
    }

    QString error;
    QStringList report;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    ReleaseRollout rollout;
    error = rolloutFromOptions(parser.value("rollout"), parser.value("rollout-schedule"),
                               parser.value("rollout-start"), now, rollout);
    if (!error.isEmpty())
        return fail(error, 2);
    ReleaseGuards guards;
    guards.replace = parser.isSet("replace");
    guards.allowDowngrade = parser.isSet("allow-downgrade");
    guards.unsignedManifest = parser.isSet("unsigned");
    if (command == QLatin1String("rollout")) {
        QList<RolloutChange> changes;
        if (parser.isSet("percent")) {
            RolloutChange change{RolloutChange::SetShare, 0};
            if (!parseShare(parser.value("percent"), change.share))
                return fail(QStringLiteral("--percent takes a percentage from 0 to 100 with at "
                                           "most one decimal."),
                            2);
            changes << change;
        }
        const std::pair<const char *, RolloutChange::Kind> flags[] = {
            {"pause", RolloutChange::Pause},
            {"resume", RolloutChange::Resume},
            {"halt", RolloutChange::Halt},
            {"complete", RolloutChange::Complete},
            {"status", RolloutChange::Status}};
        for (const auto &[flag, kind] : flags)
            if (parser.isSet(flag))
                changes << RolloutChange{kind, 0};
        const bool product = parser.isSet("product");
        if (!parser.isSet("tree") || product == parser.isSet("edition") || changes.size() != 1)
            return fail(QStringLiteral("rollout needs --tree, --product or --edition, and one of "
                                       "--percent, --pause, --resume, --halt, --complete, "
                                       "--status."),
                        2);
        const QString manifest =
            product ? QStringLiteral("client-%1.json").arg(parser.value("product").trimmed())
                    : QStringLiteral("gateway-%1.json")
                          .arg(parser.value("edition").trimmed().toLower());
        error =
            changeRollout(pathOption("tree"), manifest, changes.first(), signingKey, now, &report);
        for (const QString &line : report)
            out << "ivra-release: " << line << "\n";
        return error.isEmpty() ? 0 : fail(error);
    }
    if (command == QLatin1String("gc")) {
        bool number = false;
        const int keep = parser.value("keep").toInt(&number);
        if (!parser.isSet("tree") || !number)
            return fail(QStringLiteral("gc needs --tree and --keep N."), 2);
        error = collectGarbage(pathOption("tree"), keep, &report);
        for (const QString &line : report)
            out << line << "\n";
        return error.isEmpty() ? 0 : fail(error);
    }
    if (command == QLatin1String("push")) {
        if (!parser.isSet("tree") || !parser.isSet("to") ||
            (parser.isSet("check") && !parser.isSet("base-url")))
            return fail(QStringLiteral("push needs --tree and --to (and --base-url with --check)."),
                        2);
        error = pushReleaseTree(
            PushOptions{pathOption("tree"), parser.value("to"), parser.isSet("dry-run")}, &report);
        for (const QString &line : report)
            out << "ivra-release: " << line << "\n";
        report.clear();
        if (error.isEmpty() && parser.isSet("check") && !parser.isSet("dry-run"))
            error = checkServed(
                parser.value("base-url"),
                parser.isSet("edition") ? parser.value("edition") : QStringLiteral("demo"),
                parser.isSet("product") ? parser.value("product") : QStringLiteral("ivra-demo"),
                TreeCheckOptions{publicKeys, parser.value("channel")}, &report);
        for (const QString &line : report)
            out << line << "\n";
        if (!error.isEmpty())
            return fail(error);
        out << "ivra-release: push ok" << (parser.isSet("dry-run") ? " (dry run)" : "")
            << (parser.isSet("check") ? ", served tree checked" : "") << "\n";
        return 0;
    }
    const bool servedCheck = command == QLatin1String("check") && !parser.isSet("tree");
    if ((!parser.isSet("tree") && !servedCheck) || !parser.isSet("base-url"))
        return fail(QStringLiteral("--tree and --base-url are required."), 2);
    if (command == QLatin1String("client")) {
        ClientPublication p;
        p.treeRoot = pathOption("tree");
        p.baseUrl = parser.value("base-url");
        p.product = parser.value("product");
        p.channel = parser.value("channel");
        p.version = parser.value("version");
        p.minimumVersion = parser.value("minimum"); // empty: the default
        p.exePath = parser.value("exe");
        p.args = parser.values("arg");
        p.sourceFolder = pathOption("from-folder");
        p.sourceZip = pathOption("from-zip");
        p.signingKey = signingKey;
        p.fileIndex = !parser.isSet("no-file-index");
        if (parser.isSet("zstd-level")) {
            bool number = false;
            p.zstdLevel = parser.value("zstd-level").toInt(&number);
            if (!number || p.zstdLevel < 1 || p.zstdLevel > 19)
                return fail(QStringLiteral("--zstd-level takes a level from 1 to 19."), 2);
        }
        p.rollout = rollout;
        p.guards = guards;
        error = publishClient(p, &report);
    } else if (command == QLatin1String("gateway")) {
        GatewayPublication p;
        p.treeRoot = pathOption("tree");
        p.baseUrl = parser.value("base-url");
        p.edition = parser.value("edition");
        p.channel = parser.value("channel");
        p.version = parser.value("version");
        p.minimumVersion = parser.value("minimum"); // empty: the default
        p.installerFile = pathOption("installer");
        p.packageFolder = pathOption("from-folder");
        p.packageZip = pathOption("from-zip");
        p.platform = parser.value("platform");
        p.upgradeUrl = parser.value("upgrade-url");
        p.fullLatestVersion = parser.value("full-version");
        p.signingKey = signingKey;
        p.rollout = rollout;
        p.guards = guards;
        error = publishGateway(p, &report);
    } else if (servedCheck) {
        error = checkServed(
            parser.value("base-url"),
            parser.isSet("edition") ? parser.value("edition") : QStringLiteral("demo"),
            parser.isSet("product") ? parser.value("product") : QStringLiteral("ivra-demo"),
            TreeCheckOptions{publicKeys, parser.value("channel")}, &report);
    } else if (command == QLatin1String("check")) {
        error = checkReleaseTree(pathOption("tree"), parser.value("base-url"),
                                 TreeCheckOptions{publicKeys, parser.value("channel")}, &report);
    } else {
        QTextStream(stderr) << parser.helpText();
        return 2;
    }
    for (const QString &line : report)
        out << line << "\n";
    if (!error.isEmpty())
        return fail(error);
    out << "ivra-release: " << command << " ok";
    if (!signingKey.seed.isEmpty() && command != QLatin1String("check"))
        out << ", signed with key " << keyIdText(signingKey.publicKey.keyId);
    if (!publicKeys.isEmpty() && command == QLatin1String("check"))
        out << ", signatures verified";
    out << "\n";
    return 0;
}
