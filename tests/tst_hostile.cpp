// The hostile-archive suite made by hostile/make-hostile-zips.py, each case
// run through the extraction on its own and through a whole update pass in
// the real window: the expected message, nothing written outside the staging
// folder, the working install and the state untouched, no staging left.
#include "install/zipextract.h"
#include "storage/paths.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "ui/mainwindow.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace TestUtil;

namespace {
const QString kPackagePath = QStringLiteral("/releases/clients/hostile.zip");
// The space a package may fill: each file written is held below this size.
constexpr rlim_t kFileSizeLimit = 64 << 20;

// Every entry below root but the excluded folders, with the bytes of files.
QMap<QString, QByteArray> snapshot(const QString &root, const QStringList &excluded = {})
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (std::any_of(excluded.cbegin(), excluded.cend(), [&](const QString &folder) {
                return path == folder || path.startsWith(folder + '/');
            }))
            continue;
        const QFileInfo info = it.fileInfo();
        tree.insert(QDir(root).relativeFilePath(path), info.isSymLink() ? "link"
                                                       : info.isDir()   ? "folder"
                                                                        : readFile(path));
    }
    return tree;
}

// Files and bytes below root, and whether any of them is a link.
struct Contents
{
    qint64 files = 0;
    qint64 bytes = 0;
    bool links = false;
};
Contents contentsOf(const QString &root)
{
    Contents contents;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        contents.links = contents.links || info.isSymLink();
        if (info.isFile()) {
            ++contents.files;
            contents.bytes += info.size();
        }
    }
    return contents;
}

// Every case aims its harmful names at files called "ivra-hostile-*".
QStringList hostileFilesUnder(const QString &root, bool deep)
{
    QStringList found;
    QDirIterator it(root, {"ivra-hostile-*"}, QDir::AllEntries | QDir::Hidden | QDir::System,
                    deep ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext())
        found << it.next();
    return found;
}
} // namespace

class HostileTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir suite;
    QTemporaryDir work;
    QJsonArray cases;
    TestServer server;
    int casesRun = 0;

    QString expanded(QString message, const QString &zip, const QString &staging) const
    {
        return message.replace("{zip}", zip).replace("{staging}", staging);
    }

    void caseTable()
    {
        QTest::addColumn<QJsonObject>("entry");
        for (const QJsonValue &value : std::as_const(cases))
            QTest::newRow(value["name"].toString().toUtf8()) << value.toObject();
    }

    void verifyNoHostileFileAnywhere()
    {
        // The test's own home holds every folder used here; the roots catch
        // deep traversals and absolute names.
        const QString isolated = QFileInfo(QDir::homePath()).absolutePath();
        QStringList found = hostileFilesUnder(isolated, true);
        found << hostileFilesUnder("/tmp", false) << hostileFilesUnder("/", false);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(", ")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
        QProcess generator;
        generator.start("python3", {qEnvironmentVariable("IVRA_TEST_SOURCE_DIR") +
                                        "/tests/hostile/make-hostile-zips.py",
                                    suite.path()});
        QVERIFY(generator.waitForFinished(120000));
        QVERIFY2(generator.exitCode() == 0, generator.readAllStandardError().constData());
        cases = QJsonDocument::fromJson(readFile(suite.filePath("cases.json"))).array();
        QVERIFY(cases.size() >= 25);
    }

    void cleanupTestCase()
    {
        qInfo("%d hostile cases run, through the extraction and a whole pass", casesRun);
    }

    void extraction_data() { caseTable(); }
    void extraction()
    {
        QFETCH(QJsonObject, entry);
        const QString zip = suite.filePath(entry["file"].toString());
        // A sandbox with something to damage beside the staging folder.
        const QString sandbox = work.filePath(entry["name"].toString());
        const QString staging = sandbox + "/clients/ivra-demo/.staging-2.0.0";
        QVERIFY(writeFile(sandbox + "/clients/ivra-demo/1.0.0/bin/client", "working install"));
        QVERIFY(writeFile(sandbox + "/gateway-state.json", "{}"));
        const auto before = snapshot(sandbox);

        QString error;
        bool ok = false;
        {
            FileSizeLimit limit(kFileSizeLimit);
            ok = extractZipPayload(zip, staging, &error);
        }
        const QJsonValue message = entry["message"];
        if (message.isNull()) {
            QVERIFY2(ok, qPrintable(error));
            QCOMPARE(contentsOf(staging).files, qint64(entry["count"].toInt()));
            const QJsonObject files = entry["files"].toObject();
            for (auto it = files.begin(); it != files.end(); ++it)
                QCOMPARE(QFileInfo(staging + '/' + it.key()).size(), qint64(it->toInt()));
        } else {
            QVERIFY(!ok);
            QCOMPARE(error, expanded(message.toString(), zip, staging));
        }
        const Contents written = contentsOf(staging);
        QVERIFY(!written.links);
        const qint64 declared = qint64(entry["declaredBytes"].toDouble());
        if (declared >= 0)
            QVERIFY2(written.bytes <= declared, "more bytes on disk than the archive declares");
        QCOMPARE(snapshot(sandbox, {staging}), before);
        verifyNoHostileFileAnywhere();
        QVERIFY(QDir(sandbox).removeRecursively());
    }

    void wholePass_data() { caseTable(); }
    void wholePass()
    {
        QFETCH(QJsonObject, entry);
        const QByteArray zip = readFile(suite.filePath(entry["file"].toString()));
        freshDataRoot();
        QVERIFY(setUpWorkingInstall("1.0.0", "#!/bin/sh\n"));
        server.clearRoutes();
        server.route(kGatewayPath, jsonResponse(gatewayManifest()));
        server.route(kClientPath,
                     jsonResponse(clientManifest({{"latestVersion", "2.0.0"}},
                                                 {{"url", "http://releases.test" + kPackagePath},
                                                  {"sha256", sha256Hex(zip)},
                                                  {"sizeBytes", zip.size()}})));
        server.route(kPackagePath, TestResponse{200, zip});
        // Everything the pass may not change: all but the log and the download.
        const QString dataHome = QFileInfo(dataRootPath()).absolutePath();
        const QStringList mayChange = {dataHome + "/IVRA Labs", downloadsPath()};
        const auto before = snapshot(dataHome, mayChange);
        const QString staging = clientStagingPath(kProduct, "2.0.0");
        const QString download = downloadsPath() + "/ivra-demo/ivra-demo_2.0.0.zip";

        FileSizeLimit limit(kFileSizeLimit);
        MainWindow window;
        const QJsonValue message = entry["passMessage"];
        if (message.isNull()) {
            QTRY_COMPARE_WITH_TIMEOUT(statusText(&window),
                                      QStringLiteral("IVRA ENGINE 2.0 Beta is ready."), 60000);
            const GatewayState after = loadGatewayState(gatewayStatePath()).state;
            QCOMPARE(clientInstallStateFor(after, kProduct).activeVersion, QStringLiteral("2.0.0"));
            QCOMPARE(clientInstallStateFor(after, kProduct).previousVersion,
                     QStringLiteral("1.0.0"));
            auto kept = snapshot(
                dataHome, mayChange + QStringList{clientVersionPath(kProduct, "2.0.0"),
                                                  clientVersionPath(kProduct, "2.0.0") + ".record",
                                                  gatewayStatePath()});
            auto old = before;
            old.remove("Ivra Engine/gateway-state.json");
            QCOMPARE(kept, old);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(statusText(&window),
                                      expanded(message.toString(), download, staging), 60000);
            QVERIFY(isShown(&window, "downloadButton"));
            QVERIFY(!isShown(&window, "launchButton"));
            QCOMPARE(snapshot(dataHome, mayChange), before);
        }
        QVERIFY(!QFileInfo::exists(staging));
        QVERIFY(!QFileInfo::exists(download + ".part"));
        verifyNoHostileFileAnywhere();
        ++casesRun;
    }
};

QTEST_MAIN(HostileTest)
#include "tst_hostile.moc"
