#include "release/clientrelease.h"
#include "releasetool/publishing.h"
#include "support/testutil.h"
#include "support/zipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace TestUtil;

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
        else {
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
