// The release tool's guard rails, each with the mistake it stops: the mistake
// is refused with a message that says what to do, and nothing is written.
#include "release/clientrelease.h"
#include "release/gatewayrelease.h"
#include "releasetool/objects.h"
#include "releasetool/signing.h"
#include "support/publications.h"
#include "support/testutil.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace TestUtil;

namespace {
const QString kBase = QStringLiteral("https://releases.example");
const QString kPackages = QStringLiteral("/releases/clients/ivra-demo/");
const QString kManifest = QStringLiteral("/releases/manifests/client-ivra-demo.json");

void makeExecutable(const QString &path)
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Every file below a folder with its bytes and time, to see that nothing changed.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path,
                     readFile(path) +
                         QByteArray::number(QFileInfo(path).lastModified().toMSecsSinceEpoch()));
    }
    return files;
}
} // namespace

class GuardRailsTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    QString source() const { return temp.filePath("client"); }

    ClientPublication client(const QString &tree, const QString &version) const
    {
        return demoClientPublication(tree, kBase, version, source());
    }

    static GatewayPublication gateway(const QString &tree, const QString &edition,
                                      const QString &version)
    {
        GatewayPublication g;
        g.treeRoot = tree;
        g.baseUrl = kBase;
        g.edition = edition;
        g.channel = "stable";
        g.version = g.minimumVersion = version;
        return g;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(writeFile(source() + "/bin/client", "#!/bin/sh\n"));
        makeExecutable(source() + "/bin/client");
        QVERIFY(writeFile(source() + "/share/data.txt", "data"));
    }

    // A product or edition no launcher asks for would pass every check and
    // then be refused by every launcher.
    void onlyProductsAndEditionsLaunchersAskFor()
    {
        const QString tree = temp.filePath("names");
        ClientPublication p = client(tree, "1.0.0");
        p.product = "acme";
        QCOMPARE(publishClient(p), QStringLiteral("Product acme is not one a launcher asks for; "
                                                  "launchers ask for ivra-demo or ivra-full (the "
                                                  "demo and the full edition)."));
        GatewayPublication g = gateway(tree, "premium", "2026.1024.1");
        g.installerFile = source() + "/bin/client";
        QCOMPARE(publishGateway(g), QStringLiteral("Edition premium is not one a launcher is built "
                                                   "as; the editions are demo and full."));
        QVERIFY(!QFileInfo::exists(tree));
    }

    // The same version published again with the same content rewrites
    // nothing; with other files or launch data it is refused unless replaced.
    // The same folder always gives the same package bytes.
    void publishedVersionsAreImmutableAndReproducible()
    {
        const QString tree = temp.filePath("immutable");
        QCOMPARE(publishClient(client(tree, "1.0.0")), QString());
        const auto published = snapshot(tree);
        const QString package = tree + kPackages + "ivra-demo_1.0.0.zip";
        const QByteArray packageBytes = readFile(package);

        // Touched but not changed: the same package, nothing written again.
        QTest::qWait(20);
        QVERIFY(writeFile(source() + "/share/data.txt", "data"));
        QStringList report;
        QCOMPARE(publishClient(client(tree, "1.0.0"), &report), QString());
        QVERIFY2(report.join('\n').contains("ivra-demo 1.0.0 is already published with the same "
                                            "files: nothing of it is written again"),
                 qPrintable(report.join('\n')));
        QCOMPARE(snapshot(tree), published);
        const QString twin = temp.filePath("twin");
        QCOMPARE(publishClient(client(twin, "1.0.0")), QString());
        QCOMPARE(readFile(twin + kPackages + "ivra-demo_1.0.0.zip"), packageBytes);

        QVERIFY(writeFile(source() + "/share/data.txt", "other data"));
        QCOMPARE(publishClient(client(tree, "1.0.0")),
                 QStringLiteral("Version 1.0.0 of ivra-demo is already published with other "
                                "content (share/data.txt has other content); installs that have "
                                "it would keep the old files. Publish a new version, or give "
                                "--replace."));
        QVERIFY(writeFile(source() + "/share/data.txt", "data"));
        ClientPublication p = client(tree, "1.0.0");
        p.args = {"--fast"};
        QCOMPARE(publishClient(p), QStringLiteral("Version 1.0.0 is already published with other "
                                                  "launch data (arguments [], not "
                                                  "[\"--fast\"]). Publish a new version, or give "
                                                  "--replace."));
        QCOMPARE(snapshot(tree), published);

        QVERIFY(writeFile(source() + "/share/data.txt", "other data"));
        p.guards.replace = true;
        QCOMPARE(publishClient(p), QString());
        QVERIFY(readFile(package) != packageBytes);
        QCOMPARE(parseClientRelease(readFile(tree + kManifest)).release.launchArgs,
                 QStringList{"--fast"});
        QVERIFY(writeFile(source() + "/share/data.txt", "data"));
    }

    // Without the key, a signed tree would get a manifest every signed
    // launcher refuses; a version below the latest is most often a typo.
    void signedTreesAndDowngrades()
    {
        const QString tree = temp.filePath("signed");
        ClientPublication p = client(tree, "1.2.0");
        p.signingKey = generateReleaseSecretKey().key;
        QCOMPARE(publishClient(p), QString());
        const auto published = snapshot(tree);
        const QString keyId = keyIdText(p.signingKey.publicKey.keyId);

        ClientPublication unsignedOne = client(tree, "1.3.0");
        QCOMPARE(publishClient(unsignedOne),
                 QStringLiteral("The manifests of this tree are signed (client-ivra-demo.json."
                                "minisig, key %1); signed launchers refuse an unsigned one. Give "
                                "--secret-key, or --unsigned to publish it unsigned on purpose.")
                     .arg(keyId));
        QCOMPARE(snapshot(tree), published);

        ClientPublication typo = p;
        typo.version = "1.0.10";
        QCOMPARE(publishClient(typo),
                 QStringLiteral("Version 1.0.10 is below 1.2.0, the published latest of client "
                                "ivra-demo; every launcher would go back to it. Give "
                                "--allow-downgrade to publish it on purpose (a rollback)."));
        QCOMPARE(snapshot(tree), published);
        typo.guards.allowDowngrade = true;
        QCOMPARE(publishClient(typo), QString());
        QCOMPARE(parseClientRelease(readFile(tree + kManifest)).release.latestVersion, "1.0.10");

        unsignedOne.guards.unsignedManifest = true;
        QCOMPARE(publishClient(unsignedOne), QString());
        QVERIFY(!QFileInfo::exists(tree + kManifest + ".minisig"));
    }

    // A staged rollout never holds back an install below its minimum: the
    // minimum defaults to the one published, and its own version is refused.
    void rolloutsKeepTheirMinimum()
    {
        const QString tree = temp.filePath("rollout");
        ClientPublication p = client(tree, "1.0.0");
        p.minimumVersion.clear();
        QCOMPARE(publishClient(p), QString());
        p = client(tree, "1.1.0");
        p.minimumVersion.clear();
        p.rollout.present = true;
        p.rollout.share = 330;
        QCOMPARE(publishClient(p), QString());
        QCOMPARE(parseClientRelease(readFile(tree + kManifest)).release.minimumVersion, "1.0.0");
        p = client(tree, "1.2.0");
        p.minimumVersion = "1.2.0";
        p.rollout.present = true;
        QVERIFY(publishClient(p).startsWith("A staged rollout never holds back an install below "
                                            "its minimum: with --minimum 1.2.0, its own version"));
    }

    // A release signed on a machine whose clock ran two hours ahead: a later
    // signature from a right clock would be older, and launchers that took the
    // first would refuse it. It is refused, naming both times; check says so.
    void signingClockBehind()
    {
        const QString tree = temp.filePath("clock");
        ClientPublication p = client(tree, "1.0.0");
        p.signingKey = generateReleaseSecretKey().key;
        QCOMPARE(publishClient(p), QString());
        const QString manifest = tree + kManifest;
        const qint64 ahead = QDateTime::currentSecsSinceEpoch() + 7200;
        QString error;
        QVERIFY(writeFile(manifest + ".minisig",
                          signReleaseData(readFile(manifest), p.signingKey,
                                          defaultTrustedComment("client-ivra-demo.json", ahead),
                                          &error)));
        QStringList report;
        QCOMPARE(checkReleaseTree(tree, kBase, {{p.signingKey.publicKey}, QString()}, &report),
                 QString());
        QCOMPARE(report.filter("ahead of this machine's clock").size(), 1);
        const QByteArray signature = readFile(manifest + ".minisig");
        error = signReleaseTree(tree, p.signingKey);
        QVERIFY2(error.startsWith("The new signature of client-ivra-demo.json would be dated ") &&
                     error.contains(
                         QDateTime::fromSecsSinceEpoch(ahead, Qt::UTC).toString(Qt::ISODate)) &&
                     error.contains("Check this machine's clock"),
                 qPrintable(error));
        QCOMPARE(readFile(manifest + ".minisig"), signature);
        allowEarlierSignatureTimes(true);
        QCOMPARE(signReleaseTree(tree, p.signingKey), QString());
        allowEarlierSignatureTimes(false);
        QVERIFY(readFile(manifest + ".minisig") != signature);
    }

    // Messages name what the release engineer gave: the path in the package,
    // what could be meant, and URLs rather than the tool's own folders.
    void messagesNameTheUsersPaths()
    {
        const QString nested = temp.filePath("nested");
        QVERIFY(writeFile(nested + "/game/bin/client", "#!/bin/sh\n"));
        makeExecutable(nested + "/game/bin/client");
        QVERIFY(writeFile(nested + "/game/readme.txt", "hi"));
        const QString tree = temp.filePath("messages");
        ClientPublication p = client(tree, "1.0.0");
        p.sourceFolder = nested;
        const QString expected = QStringLiteral(
            "Client executable was not found: bin/client. Every file sits in game/: did you mean "
            "--exe game/bin/client? The package's executable files: game/bin/client.");
        QCOMPARE(publishClient(p), expected);
        p.sourceFolder.clear();
        p.sourceZip = temp.filePath("nested.zip");
        QCOMPARE(zipFolder(nested, p.sourceZip), QString());
        QCOMPARE(publishClient(p), expected);

        p = client(tree, "1.0.0");
        p.baseUrl = "http://releases.example";
        QStringList report;
        QCOMPARE(publishClient(p, &report), QString());
        QVERIFY2(report.first().startsWith("warning: the base URL http://releases.example is not "
                                           "https"),
                 qPrintable(report.join('\n')));
        QCOMPARE(checkReleaseTree(tree, "https://elsewhere.example"),
                 QStringLiteral("Artifact http://releases.example/releases/clients/ivra-demo/"
                                "ivra-demo_1.0.0.zip is not below the base URL "
                                "https://elsewhere.example: the manifest names a file outside the "
                                "release tree."));
    }

    // gc keeps the newest releases and whatever a manifest names (here a
    // rollback to the oldest), and removes the packages, indexes and objects
    // of the rest.
    void gcRemovesOldReleases()
    {
        const QString tree = temp.filePath("gc");
        for (const char *version : {"1.0.0", "1.1.0", "1.2.0", "1.3.0"}) {
            QVERIFY(writeFile(source() + "/share/version.txt", version));
            QCOMPARE(publishClient(client(tree, version)), QString());
        }
        QVERIFY(writeFile(source() + "/share/version.txt", "1.0.0"));
        ClientPublication rollback = client(tree, "1.0.0");
        rollback.guards.allowDowngrade = true;
        QCOMPARE(publishClient(rollback), QString());
        QVERIFY(QFile::remove(source() + "/share/version.txt"));

        QStringList report;
        QCOMPARE(collectGarbage(tree, 2, &report), QString());
        const QStringList left = QDir(tree + kPackages).entryList(QDir::Files, QDir::Name);
        QCOMPARE(left, (QStringList{"ivra-demo_1.0.0.files.json", "ivra-demo_1.0.0.zip",
                                    "ivra-demo_1.2.0.files.json", "ivra-demo_1.2.0.zip",
                                    "ivra-demo_1.3.0.files.json", "ivra-demo_1.3.0.zip"}));
        QVERIFY2(report.join('\n').contains(
                     QRegularExpression("^gc: 1 older release removed \\(package and file "
                                        "index\\), 1 object removed, 5 objects kept; [1-9][0-9]* "
                                        "bytes freed$")),
                 qPrintable(report.join('\n')));
        QCOMPARE(checkReleaseTree(tree, kBase), QString());
    }

    // A launcher package must start where it lands: both programs, whole
    // executables for the platform, and an ivra-update that is the version
    // published (else launchers would replace themselves with it forever).
    void launcherPackages_data()
    {
        QTest::addColumn<QStringList>("programs"); // what the folder holds, from next/
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("refused");
        const QStringList both{"IvraLauncher", "ivra-update"};
        QTest::newRow("one program") << QStringList{"IvraLauncher"} << "2026.1030.0"
                                     << "linux-x86_64"
                                     << "A launcher package holds IvraLauncher "
                                        "and ivra-update at its top";
        QTest::newRow("shell scripts")
            << QStringList{"script:IvraLauncher", "script:ivra-update"} << "2026.1030.0"
            << "linux-x86_64"
            << "IvraLauncher is not a Linux executable (ELF).";
        QTest::newRow("cut short")
            << QStringList{"half:IvraLauncher", "ivra-update"} << "2026.1030.0"
            << "linux-x86_64"
            << "IvraLauncher is cut short";
        QTest::newRow("another machine") << both << "2026.1030.0"
                                         << "linux-aarch64"
                                         << "IvraLauncher is not built for linux-aarch64.";
        QTest::newRow("another version")
            << both << "2026.1031.0"
            << "linux-x86_64"
            << "its ivra-update --version printed \"ivra-update 2026.1030.0 (demo edition)\"";
        QTest::newRow("platform unknown") << both << "2026.1030.0"
                                          << "windows"
                                          << "Platform windows is not one a launcher is built";
        QTest::newRow("whole") << both << "2026.1030.0"
                               << "linux-x86_64" << QString();
    }
    void launcherPackages()
    {
        QFETCH(QStringList, programs);
        QFETCH(QString, version);
        QFETCH(QString, platform);
        QFETCH(QString, refused);
        const QString next = qEnvironmentVariable("IVRA_TEST_BINARY_DIR") + "/next/";
        const QString tree =
            temp.filePath(QStringLiteral("gateway-%1").arg(QTest::currentDataTag()));
        const QString folder =
            temp.filePath(QStringLiteral("launcher-%1").arg(QTest::currentDataTag()));
        for (const QString &program : programs) {
            const QString name = program.section(':', -1);
            const QByteArray built = readFile(next + name);
            QVERIFY(!built.isEmpty());
            QVERIFY(writeFile(folder + "/" + name, program.startsWith("script:") ? "#!/bin/sh\n"
                                                   : program.startsWith("half:")
                                                       ? built.left(built.size() / 2)
                                                       : built));
            makeExecutable(folder + "/" + name);
        }
        GatewayPublication g = gateway(tree, "demo", version);
        g.packageFolder = folder;
        g.platform = platform;
        const QString error = publishGateway(g);
        QVERIFY2(refused.isEmpty() ? error.isEmpty() : error.contains(refused), qPrintable(error));
        QCOMPARE(QFileInfo::exists(tree + "/releases/manifests/gateway-demo.json"),
                 refused.isEmpty());
        if (!refused.isEmpty())
            return;
        QStringList report;
        QCOMPARE(checkReleaseTree(tree, kBase, {}, &report), QString());
        // The package is the Linux launcher's installer too: one artifact line.
        QCOMPARE(report.filter("artifact ").size(), 1);
        // A published package stays as it is.
        QVERIFY(writeFile(folder + "/extra.txt", "more"));
        QVERIFY(publishGateway(g).contains("is already published for linux-x86_64 with another "
                                           "package"));
    }

    // A new launcher does not become mandatory unasked: the minimum stays the
    // published one, and a minimum equal to the version is warned of.
    void launcherMinimum()
    {
        const QString tree = temp.filePath("minimum");
        const QString manifest = tree + "/releases/manifests/gateway-demo.json";
        const QString installer = temp.filePath("setup.exe");
        QVERIFY(writeFile(installer, "installer"));
        auto gateway = [&](const QString &version) {
            GatewayPublication g = GuardRailsTest::gateway(tree, "demo", version);
            g.installerFile = installer;
            return g;
        };
        GatewayPublication g = gateway("2026.1024.1");
        g.minimumVersion.clear();
        QCOMPARE(publishGateway(g), QString());
        QCOMPARE(parseGatewayRelease(readFile(manifest)).release.minimumVersion, "2026.1024.1");
        g = gateway("2026.1030.0");
        g.minimumVersion.clear();
        QCOMPARE(publishGateway(g), QString());
        QCOMPARE(parseGatewayRelease(readFile(manifest)).release.minimumVersion, "2026.1024.1");
        g = gateway("2026.1031.0");
        QStringList report;
        QCOMPARE(publishGateway(g, &report), QString());
        QCOMPARE(parseGatewayRelease(readFile(manifest)).release.minimumVersion, "2026.1031.0");
        QVERIFY2(report.join('\n').contains("warning: --minimum 2026.1031.0 is the new version "
                                            "itself"),
                 qPrintable(report.join('\n')));
    }

    // Without a package: an installer, or nothing to publish.
    void launcherWithoutPackage()
    {
        GatewayPublication g = gateway(temp.filePath("bare"), "demo", "2026.1030.0");
        QCOMPARE(publishGateway(g), QStringLiteral("gateway needs --installer, or a launcher "
                                                   "package (--from-folder or --from-zip)."));
    }
};

QTEST_GUILESS_MAIN(GuardRailsTest)
#include "tst_guardrails.moc"
