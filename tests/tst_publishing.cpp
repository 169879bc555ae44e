#include "release/clientrelease.h"
#include "release/fileindex.h"
#include "releasetool/objects.h"
#include "releasetool/publishing.h"
#include "releasetool/push.h"
#include "releasetool/rollouts.h"
#include "releasetool/signing.h"
#include "support/testutil.h"
#include "support/zipwriter.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace TestUtil;

Q_DECLARE_METATYPE(ZipEntry)

namespace {
const QString kBase = QStringLiteral("https://releases.example:8443");

int filesBelow(const QString &root)
{
    int count = 0;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext() && !it.next().isEmpty())
        ++count;
    return count;
}
} // namespace

class PublishingTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    QString source() const { return temp.filePath("client"); }

    ClientPublication client(const QString &tree) const
    {
        ClientPublication p;
        p.treeRoot = tree;
        p.baseUrl = kBase + "/";
        p.product = "ivra-demo";
        p.channel = "stable";
        p.version = "1.2.0";
        p.minimumVersion = "1.0.0";
        p.exePath = "bin/client";
        p.args = {"--a", " b "};
        p.sourceFolder = source();
        return p;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(writeFile(source() + "/bin/client", "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(source() + "/bin/client",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(writeFile(source() + "/share/data.txt", "data"));
    }

    void publishedTreePassesTheCheck()
    {
        const QString tree = temp.filePath("good");
        QCOMPARE(publishClient(client(tree)), QString());
        const ClientReleaseResult manifest =
            parseClientRelease(readFile(tree + "/releases/manifests/client-ivra-demo.json"));
        QCOMPARE(manifest.error, QString());
        QCOMPARE(manifest.release.artifactUrl,
                 kBase + "/releases/clients/ivra-demo/ivra-demo_1.2.0.zip");
        const QString package = tree + "/releases/clients/ivra-demo/ivra-demo_1.2.0.zip";
        QCOMPARE(manifest.release.artifactSha256, sha256Hex(readFile(package)));
        QCOMPARE(manifest.release.artifactSizeBytes, QFileInfo(package).size());
        QCOMPARE(manifest.release.launchArgs, (QStringList{"--a", " b "}));

        GatewayPublication gateway;
        gateway.treeRoot = tree;
        gateway.baseUrl = kBase;
        gateway.edition = "demo";
        gateway.channel = "stable";
        gateway.version = "2026.1030.0";
        gateway.minimumVersion = "2026.1024.0";
        gateway.installerFile = source() + "/bin/client";
        gateway.upgradeUrl = "https://ivra.example/full";
        gateway.fullLatestVersion = "3.1.0";
        QCOMPARE(publishGateway(gateway), QString());
        QCOMPARE(checkReleaseTree(tree, kBase), QString());
        // A tree meant for another channel is named as the launcher would.
        QCOMPARE(checkReleaseTree(tree, kBase, TreeCheckOptions{{}, "stable"}), QString());
        QCOMPARE(
            checkReleaseTree(tree, kBase, TreeCheckOptions{{}, "beta"}),
            QStringLiteral("gateway-demo.json: Release data is for channel stable, not beta."));

        // A package changed after publishing is caught with the launcher's own message.
        QVERIFY(writeFile(package, readFile(package) + "x"));
        QVERIFY(checkReleaseTree(tree, kBase).startsWith("Downloaded IVRA client size mismatch."));
    }

    void refusalsWriteNothing_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("bad version") << "version"
                                     << "1.2"
                                     << "Version '1.2' must use numeric x.y.z format.";
        QTest::newRow("latest below minimum")
            << "minimum"
            << "1.3.0"
            << "Client manifest latest version is below minimum version.";
        QTest::newRow("unsafe launch path") << "exe"
                                            << "../client"
                                            << "Client launch path is unsafe: ../client.";
        QTest::newRow("absolute launch path") << "exe"
                                              << "/bin/sh"
                                              << "Client launch path must be relative: /bin/sh.";
        QTest::newRow("missing launch file") << "exe"
                                             << "bin/other"
                                             << "Client executable was not found: ";
        QTest::newRow("unsafe entry name") << "zip"
                                           << ""
                                           << "Unsafe zip entry path: ../evil.";
        QTest::newRow("empty folder") << "folder"
                                      << ""
                                      << "Client executable was not found: bin/client.";
        QTest::newRow("leading zero") << "version"
                                      << "01.2.0"
                                      << "Version 01.2.0 is not in canonical form; publish it as "
                                         "1.2.0.";
    }

    // What the launcher could not install or launch on one of its platforms is
    // refused at publish time, naming the entry and why.
    void packagesRefusedByEntry_data()
    {
        QTest::addColumn<QList<ZipEntry>>("entries");
        QTest::addColumn<QString>("message");
        const ZipEntry client{"bin/client", "#!/bin/sh\n", 0100755};
        ZipEntry lzma{"data/big", "x"};
        lzma.method = 14;
        QTest::newRow("LZMA") << QList<ZipEntry>{client, lzma}
                              << "Package entry data/big is compressed with LZMA, which the "
                                 "launcher cannot read; use deflate (or store).";
        ZipEntry deflate64{"data/big", "x"};
        deflate64.method = 9;
        QTest::newRow("Deflate64") << QList<ZipEntry>{client, deflate64}
                                   << "Package entry data/big is compressed with Deflate64";
        ZipEntry encrypted{"data/secret", "x"};
        encrypted.flags = 1;
        QTest::newRow("encrypted")
            << QList<ZipEntry>{client, encrypted} << "Package entry data/secret is encrypted";
        QTest::newRow("bsdtar names") << QList<ZipEntry>{ZipEntry{"./bin/client", "x"}}
                                      << "Unsafe zip entry path: ./bin/client. The archiver wrote "
                                         "\"./\" names, as `bsdtar --format zip -cf p.zip .` does";
        QTest::newRow("legacy code page")
            << QList<ZipEntry>{client, ZipEntry{"\x8f\xe0.txt", "x"}}
            << "Package entry \u008f\u00e0.txt: the name is not UTF-8";
        QTest::newRow("case") << QList<ZipEntry>{client, ZipEntry{"Data/a", "x"},
                                                 ZipEntry{"data/A", "y"}}
                              << "Package entries Data/a and data/A differ only in case";
    }
    void packagesRefusedByEntry()
    {
        QFETCH(QList<ZipEntry>, entries);
        QFETCH(QString, message);
        const QString tree = temp.filePath(QStringLiteral("entry-%1").arg(QTest::currentDataTag()));
        ClientPublication p = client(tree);
        p.sourceFolder.clear();
        p.sourceZip = temp.filePath(QStringLiteral("%1.zip").arg(QTest::currentDataTag()));
        QVERIFY(writeFile(p.sourceZip, buildZip(entries)));
        const QString error = publishClient(p);
        QVERIFY2(error.startsWith(message), qPrintable(error));
        QCOMPARE(filesBelow(tree), 0);
    }

    // check verifies the file index and every object; gc keeps what the
    // newest releases name and removes the rest.
    void objectsCheckedAndCollected()
    {
        const QString tree = temp.filePath("objects");
        for (const char *version : {"1.0.0", "1.1.0", "1.2.0"}) {
            QVERIFY(writeFile(source() + "/share/version.txt", version));
            ClientPublication p = client(tree);
            p.version = version;
            p.zstdLevel = 3;
            QCOMPARE(publishClient(p), QString());
        }
        QVERIFY(writeFile(source() + "/share/version.txt", "1.2.0"));
        QStringList report;
        QCOMPARE(checkReleaseTree(tree, kBase, {}, &report), QString());
        QVERIFY2(report.join('\n').contains("3 files match the package"),
                 qPrintable(report.join('\n')));
        const QString objects = tree + "/releases/clients/ivra-demo/objects";
        auto objectFiles = [&]() {
            QStringList files;
            QDirIterator it(objects, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                files << it.next();
            files.sort();
            return files;
        };
        // One object per distinct content: the three version.txt and the two shared files.
        QCOMPARE(objectFiles().size(), 5);

        const QString wanted =
            objects + "/" +
            objectRelativePath(parseFileIndex(readFile(tree + "/releases/clients/ivra-demo/"
                                                              "ivra-demo_1.2.0.files.json"))
                                   .index.files.last()
                                   .object)
                .mid(8);
        const QByteArray good = readFile(wanted);
        QVERIFY(QFile::remove(wanted));
        QVERIFY(checkReleaseTree(tree, kBase).startsWith("Object " + wanted + " is missing"));
        QVERIFY(writeFile(wanted, QByteArray(good.size(), 'x')));
        QVERIFY(checkReleaseTree(tree, kBase).startsWith("Object " + wanted + " is wrong"));
        QVERIFY(writeFile(wanted, good));

        QCOMPARE(collectGarbage(tree, 1), QString());
        QCOMPARE(objectFiles().size(), 3);
        QCOMPARE(QDir(tree + "/releases/clients/ivra-demo").entryList(QDir::Files),
                 (QStringList{"ivra-demo_1.2.0.files.json", "ivra-demo_1.2.0.zip"}));
        QCOMPARE(checkReleaseTree(tree, kBase), QString());
    }

    // Files with the same bytes share one object, written once: never two
    // threads compressing the same object side by side.
    void identicalFilesShareOneObject()
    {
        const QString folder = temp.filePath("twins");
        const QByteArray text = QByteArray("abcdefgh ").repeated(1 << 20); // zstd's workers too
        for (int i = 0; i < 4; ++i)
            QVERIFY(writeFile(folder + QString("/copy%1.txt").arg(i), text));
        QVERIFY(writeFile(folder + "/bin/client", "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(folder + "/bin/client",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString tree = temp.filePath("twins-tree");
        ClientPublication p = client(tree);
        p.sourceFolder = folder;
        p.zstdLevel = 3;
        QStringList report;
        QCOMPARE(publishClient(p, &report), QString());
        QVERIFY2(report.join('\n').contains("(5 files, 2 new objects)"),
                 qPrintable(report.join('\n')));
        QDirIterator it(tree + "/releases/clients/ivra-demo/objects", QDir::Files,
                        QDirIterator::Subdirectories);
        QStringList objects;
        while (it.hasNext())
            objects << QFileInfo(it.next()).fileName();
        QCOMPARE(objects.size(), 2);
        QCOMPARE(checkReleaseTree(tree, kBase), QString());
    }

    // A rollout changes the manifest and nothing of the release; a pause holds
    // the share reached, a resume shifts the schedule by the pause; a signed
    // manifest is rewritten only with the key.
    void rolloutsRewriteOnlyTheManifest()
    {
        const QString tree = temp.filePath("rollout");
        // Manifests keep whole seconds.
        const QDateTime now =
            QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
        ClientPublication p = client(tree);
        QCOMPARE(parseRolloutSchedule(defaultRolloutSchedule(), now.addSecs(-49 * 3600), p.rollout),
                 QString());
        QCOMPARE(publishClient(p), QString());
        const QString manifest = tree + "/releases/manifests/client-ivra-demo.json";
        const QString package = tree + "/releases/clients/ivra-demo/ivra-demo_1.2.0.zip";
        const QByteArray packageBytes = readFile(package);
        auto rollout = [&]() { return parseClientRelease(readFile(manifest)).release.rollout; };
        QCOMPARE(rolloutShareAt(rollout(), now), 50); // 5 %, two days in

        QStringList report;
        QCOMPARE(changeRollout(tree, "client-ivra-demo.json", {RolloutChange::Pause, 0}, {}, now,
                               &report),
                 QString());
        QVERIFY(!rollout().scheduled);
        QCOMPARE(rolloutShareAt(rollout(), now.addDays(30)), 50);
        // --status says it is paused, and how to go on.
        report.clear();
        QCOMPARE(changeRollout(tree, "client-ivra-demo.json", {RolloutChange::Status, 0}, {}, now,
                               &report),
                 QString());
        QVERIFY2(report.join(QLatin1Char(10))
                     .contains(", paused since " + now.toUTC().toString(Qt::ISODate)),
                 qPrintable(report.join('\n')));
        QCOMPARE(changeRollout(tree, "client-ivra-demo.json", {RolloutChange::Resume, 0}, {},
                               now.addSecs(10 * 3600)),
                 QString());
        QCOMPARE(rollout().start, p.rollout.start.addSecs(10 * 3600));
        QCOMPARE(rolloutShareAt(rollout(), now.addSecs(10 * 3600)), 50);
        QCOMPARE(changeRollout(tree, "client-ivra-demo.json", {RolloutChange::Halt, 0}, {}, now),
                 QString());
        QCOMPARE(rolloutShareAt(rollout(), now), 0);
        QCOMPARE(readFile(package), packageBytes);

        const ReleaseSecretKey key = generateReleaseSecretKey().key;
        QCOMPARE(signReleaseTree(tree, key), QString());
        const QByteArray signedManifest = readFile(manifest);
        QVERIFY(changeRollout(tree, "client-ivra-demo.json", {RolloutChange::Complete, 0}, {}, now)
                    .contains("give --secret-key"));
        QCOMPARE(readFile(manifest), signedManifest);
        QCOMPARE(
            changeRollout(tree, "client-ivra-demo.json", {RolloutChange::Complete, 0}, key, now),
            QString());
        QCOMPARE(rolloutShareAt(rollout(), now), kFullShare);
        QCOMPARE(checkReleaseTree(tree, kBase, TreeCheckOptions{{key.publicKey}, {}}), QString());
    }

    // The push with the real rclone into a folder, every command it runs
    // written down: artifacts before manifests, nothing again that is there,
    // other bytes refused with nothing written, and manifests that another
    // publisher wrote meanwhile never replaced.
    void pushToStorage()
    {
        if (QStandardPaths::findExecutable("rclone").isEmpty())
            QSKIP("rclone is not installed");
        const QString tree = temp.filePath("push-tree");
        QCOMPARE(publishClient(client(tree)), QString());
        const QString log = temp.filePath("rclone.log");
        const QString rclone = temp.filePath("rclone-logged");
        QVERIFY(writeFile(
            rclone,
            "#!/bin/sh\n"
            "[ \"$1\" = copy ] && echo \"copy $(tr '\\n' ' ' < \"$5\")\" >> \"$RCLONE_LOG\"\n"
            "if [ \"$1\" = copy ] && [ -n \"$OTHER_PUBLISHER\" ]; then\n"
            "  echo other > \"$3/releases/manifests/client-ivra-demo.json\"\n"
            "fi\n"
            "exec rclone \"$@\"\n"));
        QVERIFY(QFile::setPermissions(rclone, QFile::ReadOwner | QFile::ExeOwner));
        qputenv("RCLONE_LOG", log.toUtf8());
        const QString bucket = temp.filePath("bucket");
        const QString manifest = "/releases/manifests/client-ivra-demo.json";
        QStringList report;
        QCOMPARE(pushReleaseTree({tree, bucket, false, rclone}, &report), QString());
        const QStringList copies = QString::fromUtf8(readFile(log)).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(copies.size(), 2); // the artifacts, then the one manifest
        QVERIFY(copies.first().contains(".zip") && !copies.first().contains("manifests/"));
        QCOMPARE(copies.last(), "copy releases/manifests/client-ivra-demo.json ");
        QCOMPARE(readFile(bucket + manifest), readFile(tree + manifest));

        QFile::remove(log);
        QCOMPARE(pushReleaseTree({tree, bucket, false, rclone}, &report), QString());
        QVERIFY(!QFile::exists(log));
        QVERIFY2(report.last().contains("5 of 5 artifacts already at"),
                 qPrintable(report.join("\n")));

        const QString package = "/releases/clients/ivra-demo/ivra-demo_1.2.0.zip";
        QVERIFY(writeFile(bucket + package, "other bytes"));
        QFile::remove(bucket + manifest);
        QVERIFY(pushReleaseTree({tree, bucket, false, rclone}, &report)
                    .contains("already hold other bytes under the same name: nothing was pushed"));
        QVERIFY(!QFile::exists(log) && !QFile::exists(bucket + manifest));

        const QString other = temp.filePath("bucket-2");
        QVERIFY(writeFile(other + manifest, "old"));
        qputenv("OTHER_PUBLISHER", "1");
        const QString error = pushReleaseTree({tree, other, false, rclone}, &report);
        qunsetenv("OTHER_PUBLISHER");
        QVERIFY2(error.contains("changed while this push ran"), qPrintable(error));
        QCOMPARE(readFile(other + manifest), QByteArray("other\n"));
    }

    // The real tool from the folder it runs in: relative paths work, a Windows
    // package is published with a note, and check says what it checked.
    void toolWithRelativePaths()
    {
        QTemporaryDir work;
        QVERIFY(writeFile(work.filePath("clientsrc/bin/client"), "#!/bin/sh\n"));
        ZipEntry windows{"bin/client", "MZ"};
        windows.madeByUnix = false;
        QVERIFY(writeFile(work.filePath("windows.zip"), buildZip({windows})));
        const QString tool = qEnvironmentVariable("IVRA_TEST_BINARY_DIR") + "/ivra-release";
        auto run = [&](const QStringList &args) {
            QProcess process;
            process.setWorkingDirectory(work.path());
            process.start(tool, args);
            process.waitForFinished(60000);
            return qMakePair(process.exitCode(), QString::fromUtf8(process.readAllStandardOutput() +
                                                                   process.readAllStandardError()));
        };
        const QStringList common{"client", "--tree",    "tree",      "--base-url",
                                 kBase,    "--product", "ivra-demo", "--channel",
                                 "stable", "--exe",     "bin/client"};
        auto result = run(common + QStringList{"--version", "1.0.0", "--from-folder", "clientsrc"});
        QVERIFY2(result.first == 0, qPrintable(result.second));
        result = run(common + QStringList{"--version", "1.1.0", "--from-zip", "windows.zip"});
        QVERIFY2(result.first == 0, qPrintable(result.second));
        QVERIFY2(result.second.contains("note: bin/client records no execute permission"),
                 qPrintable(result.second));
        result = run({"check", "--tree", "tree", "--base-url", kBase});
        QVERIFY2(result.first == 0, qPrintable(result.second));
        for (const char *line : {"manifest client-ivra-demo.json: client ivra-demo 1.1.0",
                                 "bytes as declared, sha256 ", "launch file bin/client found"})
            QVERIFY2(result.second.contains(line), qPrintable(result.second));
        result = run({"--help"});
        QVERIFY(result.second.contains("Secret key file that signs the manifests"));
        QVERIFY(result.second.contains("Examples:"));
    }
    void refusalsWriteNothing()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, message);
        const QString tree =
            temp.filePath(QStringLiteral("refused-%1").arg(QTest::currentDataTag()));
        ClientPublication p = client(tree);
        if (field == "version")
            p.version = value;
        else if (field == "minimum")
            p.minimumVersion = value;
        else if (field == "exe")
            p.exePath = value;
        else if (field == "folder") {
            p.sourceFolder = temp.filePath("empty");
            QVERIFY(QDir().mkpath(p.sourceFolder));
        } else {
            p.sourceFolder.clear();
            p.sourceZip = temp.filePath("hostile.zip");
            QVERIFY(writeFile(p.sourceZip,
                              buildZip({ZipEntry{"bin/client", "x"}, ZipEntry{"../evil", "x"}})));
        }
        const QString error = publishClient(p);
        QVERIFY2(error.startsWith(message), qPrintable(error));
        QCOMPARE(filesBelow(tree), 0);
    }
};

QTEST_GUILESS_MAIN(PublishingTest)
#include "tst_publishing.moc"
