// Differential updates through the real window: releases published by the
// release tool's own code, served by the test server, installed by fetching
// only the files that changed, and every fault falling back to the package.
#include "install/differential.h"
#include "install/fileidentity.h"
#include "pass/updatepass.h"
#include "release/clientrelease.h"
#include "releasetool/objects.h"
#include "storage/paths.h"
#include "support/publications.h"
#include "support/testserver.h"
#include "support/testutil.h"
#include "ui/mainwindow.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace TestUtil;

namespace {
const QString kBase = QStringLiteral("http://releases.test");
const QString kReady = QStringLiteral("IVRA ENGINE 2.0 Beta is ready.");
const QString kFallback =
    QStringLiteral(" warning Differential update not used, downloading the package: ");

QByteArray noise(int bytes, quint32 seed)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), bytes / 4);
    return data;
}

QString packagePath(const QString &version)
{
    return QStringLiteral("/releases/clients/ivra-demo/ivra-demo_%1.zip").arg(version);
}
QString indexPath(const QString &version)
{
    return QStringLiteral("/releases/clients/ivra-demo/ivra-demo_%1.files.json").arg(version);
}
} // namespace

class DifferentialTest : public QObject
{
    Q_OBJECT

private:
    TestServer server;
    QTemporaryDir temp;
    QString tree;
    int logStart = 0;

    // The client's files: a large file that never changes, a few small ones.
    QString source(const QString &version, const QMap<QString, QByteArray> &changes = {})
    {
        const QString folder = temp.filePath("src-" + version);
        QDir(folder).removeRecursively();
        QMap<QString, QByteArray> files{{"bin/client", "#!/bin/sh\necho client\n"},
                                        {"bin/tool", "#!/bin/sh\necho tool 1\n"},
                                        {"data/big.bin", noise(600 * 1024, 1)},
                                        {"data/a.txt", "a, first edition\n"},
                                        {"data/b.txt", QByteArray(20000, 'b')}};
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            files.insert(it.key(), it.value());
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeFile(folder + "/" + it.key(), it.value());
        for (const char *exe : {"/bin/client", "/bin/tool"})
            QFile::setPermissions(folder + exe,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return folder;
    }

    // Publishes a version with the release tool's code and serves the whole tree.
    void publish(const QString &version, const QMap<QString, QByteArray> &changes = {})
    {
        ClientPublication p = demoClientPublication(tree, kBase, version, source(version, changes));
        p.guards.allowDowngrade = true; // some tests roll back on purpose
        QCOMPARE(publishClient(p), QString());
        server.clearRoutes();
        server.route(kGatewayPath, jsonResponse(gatewayManifest()));
        QDirIterator it(tree, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            server.route("/" + QDir(tree).relativeFilePath(file),
                         TestResponse{200, readFile(file)});
        }
    }

    // The served manifest's "files" member pointed at other index bytes.
    void serveIndex(const QString &version, const QByteArray &index, qint64 declaredSize = -1)
    {
        QJsonObject manifest =
            QJsonDocument::fromJson(readFile(tree + "/releases/manifests/client-ivra-demo.json"))
                .object();
        QJsonObject artifact = manifest.value("artifact").toObject();
        artifact.insert(
            "files", QJsonObject{{"url", kBase + indexPath(version)},
                                 {"sha256", sha256Hex(index)},
                                 {"sizeBytes", declaredSize >= 0 ? declaredSize : index.size()}});
        manifest.insert("artifact", artifact);
        server.route(kClientPath, jsonResponse(QJsonDocument(manifest).toJson()));
        server.route(indexPath(version), TestResponse{200, index});
    }

    QStringList objectRequests() const
    {
        QStringList paths;
        for (const RecordedRequest &request : server.requests())
            if (request.path.contains("/objects/"))
                paths << request.path;
        return paths;
    }

    void passEndsReady()
    {
        MainWindow window;
        QTRY_COMPARE_WITH_TIMEOUT(statusText(&window), kReady, 20000);
    }

    // Every file of the installed version as the release's source has it.
    void expectInstalled(const QString &version) { expectInstalledFiles(version, 5); }
    void expectInstalledFiles(const QString &version, int count)
    {
        const QString installed = clientVersionPath(kProduct, version);
        const QString expected = temp.filePath("src-" + version);
        QDirIterator it(expected, QDir::Files, QDirIterator::Subdirectories);
        int files = 0;
        while (it.hasNext()) {
            const QString relative = QDir(expected).relativeFilePath(it.next());
            QCOMPARE(readFile(installed + "/" + relative), readFile(expected + "/" + relative));
            ++files;
        }
        QCOMPARE(files, count);
        QVERIFY(QFileInfo(installed + "/bin/client").isExecutable());
        QVERIFY(QFileInfo(installed + "/bin/tool").isExecutable());
        QVERIFY(!QFileInfo(installed + "/data/a.txt").isExecutable());
        QCOMPARE(clientInstallStateFor(loadGatewayState(gatewayStatePath()).state, kProduct)
                     .activeVersion,
                 version);
        QVERIFY(!QFileInfo::exists(clientObjectCachePath(kProduct)));
        QVERIFY(!QFileInfo::exists(clientStagingPath(kProduct, version)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        installTestLogging();
        server.installAsProxy();
    }

    void init()
    {
        freshDataRoot();
        server.clearRequests();
        tree = temp.filePath(QStringLiteral("tree-%1").arg(QTest::currentTestFunction()));
        QDir(tree).removeRecursively();
        // A first install from the package, as on a fresh machine.
        publish("1.0.0");
        passEndsReady();
        // Recorded, with a file index to repair and update from: the package goes.
        QVERIFY(!QFileInfo::exists(downloadsPath() + "/ivra-demo/ivra-demo_1.0.0.zip"));
        server.clearRequests();
        logStart = logLines().size();
    }

    // Only the changed files are fetched: a changed executable keeps its bit,
    // and a file of the previous (not active) version is reused too.
    void updatesFetchOnlyWhatChanged()
    {
        publish("1.1.0",
                {{"data/a.txt", "a, second edition\n"}, {"bin/tool", "#!/bin/sh\necho 2\n"}});
        passEndsReady();
        expectInstalled("1.1.0");
        QCOMPARE(server.requestCount(packagePath("1.1.0")), 0);
        QCOMPARE(objectRequests().size(), 2);
        const QStringList log = logLinesSince(logStart);
        QCOMPARE(log.filter("Differential update to 1.1.0: 3 files reused, ").size(), 1);
        // Linked files take no new data: only the two changed files were written.
        QCOMPARE(log.filter(QRegularExpression("Installed client 1.1.0 in [0-9]+ ms: 35 bytes "
                                               "written, differential update$"))
                     .size(),
                 1);

        // 1.2.0 brings back 1.0.0's a.txt: 1.0.0 is the previous version, and it has it.
        server.clearRequests();
        publish("1.2.0", {{"bin/tool", "#!/bin/sh\necho 2\n"}, {"data/b.txt", "b is new\n"}});
        passEndsReady();
        expectInstalled("1.2.0");
        QCOMPARE(objectRequests().size(), 1); // b.txt only
        QCOMPARE(server.requestCount(packagePath("1.2.0")), 0);
    }

    // A local file damaged since its install is fetched; the old install is never touched.
    // Game clients ship the same asset at several paths: one object, fetched
    // once, writes every one of them.
    void copiesOfOneFileFetchOneObject()
    {
        const QByteArray asset = noise(200 * 1024, 9);
        publish("1.1.0",
                {{"data/copy1.bin", asset}, {"data/copy2.bin", asset}, {"more/copy3.bin", asset}});
        passEndsReady();
        expectInstalledFiles("1.1.0", 8);
        QCOMPARE(objectRequests().size(), 1);
        QCOMPARE(server.requestCount(packagePath("1.1.0")), 0);
    }

    void damagedLocalFileIsFetched()
    {
        const QString damaged = clientVersionPath(kProduct, "1.0.0") + "/data/b.txt";
        QVERIFY(writeFile(damaged, QByteArray(19999, 'b') + "X"));
        publish("1.1.0", {{"data/a.txt", "a, second edition\n"}});
        passEndsReady();
        expectInstalled("1.1.0");
        QCOMPARE(objectRequests().size(), 2); // a.txt and the damaged b.txt
        QCOMPARE(readFile(damaged), QByteArray(19999, 'b') + "X");
    }

    void faultsFallBackToThePackage_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing object") << "missing object"
                                        << "client object: HTTP 404";
        QTest::newRow("object not matching its name") << "wrong object"
                                                      << "has the digest";
        QTest::newRow("hostile index path") << "hostile path"
                                            << "unsafe path: ../escape";
        QTest::newRow("index lists a file twice") << "twice"
                                                  << "listed twice: data/a.txt";
        QTest::newRow("index larger than declared") << "larger"
                                                    << "more bytes than declared";
        QTest::newRow("index with another digest") << "digest"
                                                   << "the file index has the digest";
        QTest::newRow("index declared past the limit") << "huge"
                                                       << "larger than the 8388608-byte limit";
    }

    void faultsFallBackToThePackage()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        publish("1.1.0", {{"data/a.txt", "a, second edition\n"}});
        const QByteArray index = readFile(tree + indexPath("1.1.0"));
        QJsonObject parsed = QJsonDocument::fromJson(index).object();
        QJsonArray files = parsed.value("files").toArray();
        QJsonObject changed;
        for (const QJsonValue &file : files)
            if (file.toObject().value("path") == "data/a.txt")
                changed = file.toObject();
        const QString object =
            "/releases/clients/ivra-demo/" + objectRelativePath(changed.value("object").toString());
        if (fault == "missing object") {
            server.route(object, TestResponse{404, "gone"});
        } else if (fault == "wrong object") {
            server.route(object,
                         TestResponse{200, QByteArray(changed.value("objectSize").toInt(), 'z')});
        } else if (fault == "hostile path" || fault == "twice") {
            QJsonObject extra = changed;
            if (fault == "hostile path")
                extra.insert("path", "../escape");
            files.append(extra);
            parsed.insert("files", files);
            serveIndex("1.1.0", QJsonDocument(parsed).toJson());
        } else if (fault == "larger") {
            serveIndex("1.1.0", index + QByteArray(4096, ' '), index.size());
        } else if (fault == "huge") {
            serveIndex("1.1.0", index, 9 << 20);
        } else if (fault == "digest") {
            server.route(indexPath("1.1.0"),
                         TestResponse{200, QByteArray(index).replace("data/a.txt", "data/A.txt")});
        }
        passEndsReady();
        expectInstalled("1.1.0");
        QCOMPARE(server.requestCount(packagePath("1.1.0")), 1);
        const QStringList fallbacks = logLinesSince(logStart).filter(kFallback);
        QCOMPARE(fallbacks.size(), 1);
        QVERIFY2(fallbacks.first().contains(reason), qPrintable(fallbacks.first()));
    }

    // While objects download, the bar shows the share of all object bytes
    // fetched so far: it grows from object to object and never starts over.
    void progressCoversAllObjects()
    {
        QMap<QString, QByteArray> changes;
        for (int i = 0; i < 4; ++i)
            changes.insert(QStringLiteral("data/new-%1.bin").arg(i), noise(48 * 1024, 10 + i));
        publish("1.1.0", changes);
        QElapsedTimer clock;
        clock.start();
        qint64 firstObjectAt = -1;
        const QJsonArray files = QJsonDocument::fromJson(readFile(tree + indexPath("1.1.0")))
                                     .object()
                                     .value("files")
                                     .toArray();
        for (const QJsonValue &file : files) {
            const QString path = "/releases/clients/ivra-demo/" +
                                 objectRelativePath(file.toObject().value("object").toString());
            TestResponse slow{200, readFile(tree + path)};
            slow.trickleBytes = 8192;
            slow.trickleIntervalMs = 15;
            server.route(path, [&firstObjectAt, &clock, slow](const RecordedRequest &) {
                if (firstObjectAt < 0)
                    firstObjectAt = clock.elapsed();
                return slow;
            });
        }
        server.clearRequests();
        MainWindow window;
        QList<std::pair<qint64, int>> samples; // when, percent; while objects download
        QProgressBar *bar = progressBar(&window);
        connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
            if (statusText(&window) == QStringLiteral("Downloading IVRA...") &&
                bar->maximum() == 100)
                samples.append({clock.elapsed(), value});
        });
        QTRY_COMPARE_WITH_TIMEOUT(statusText(&window), kReady, 20000);
        expectInstalledFiles("1.1.0", 9);
        QCOMPARE(objectRequests().size(), 4);
        QVERIFY(firstObjectAt >= 0);
        QList<int> values;
        for (const auto &[when, value] : samples)
            if (when >= firstObjectAt)
                values.append(value);
        QVERIFY2(values.size() >= 3, qPrintable(QString::number(values.size())));
        for (qsizetype i = 1; i < values.size(); ++i)
            QVERIFY2(values.at(i) >= values.at(i - 1), qPrintable(QString::number(i)));
        QVERIFY2(values.last() >= 75, qPrintable(QString::number(values.last())));
    }

    // A client writes into a file its version shares by a link with the
    // previous one. When the previous version is to be adopted again, it is
    // checked first and the damaged file fetched: nothing is launched from it.
    void linkedFileChangedThenAdopted()
    {
        const QByteArray original = readFile(clientVersionPath(kProduct, "1.0.0") + "/data/b.txt");
        publish("1.1.0", {{"data/a.txt", "a, second edition\n"}});
        passEndsReady();
        const QString shared = clientVersionPath(kProduct, "1.1.0") + "/data/b.txt";
        QCOMPARE(fileIdentity(shared).inode,
                 fileIdentity(clientVersionPath(kProduct, "1.0.0") + "/data/b.txt").inode);
        {
            QFile file(shared); // the client's own write, in place
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(1234) && file.write("client data") == 11);
        }
        publish("1.0.0"); // rolled back: the previous version is the latest again
        server.clearRequests();
        passEndsReady();
        QCOMPARE(clientInstallStateFor(loadGatewayState(gatewayStatePath()).state, kProduct)
                     .activeVersion,
                 QStringLiteral("1.0.0"));
        QCOMPARE(readFile(clientVersionPath(kProduct, "1.0.0") + "/data/b.txt"), original);
        QCOMPARE(objectRequests().size(), 1); // b.txt alone
        QCOMPARE(server.requestCount(packagePath("1.0.0")), 0);
        QVERIFY(readFile(shared).contains("client data")); // the client's own change stays
    }

    // Verification reads every file of the active version; a flipped byte and
    // a deleted file are fetched again as their objects, nothing else.
    void verifyRepairsWhatItFinds()
    {
        const QString folder = clientVersionPath(kProduct, "1.0.0");
        QFile damaged(folder + "/data/b.txt");
        QVERIFY(damaged.open(QIODevice::ReadWrite) && damaged.seek(100));
        const char flipped = char(damaged.peek(1).at(0) ^ 0x40);
        QVERIFY(damaged.write(&flipped, 1) == 1);
        damaged.close();
        QVERIFY(QFile::remove(folder + "/data/a.txt"));
        UpdatePass pass;
        QList<int> report;
        connect(&pass, &UpdatePass::verified, this,
                [&report](int checked, int damaged, int repaired) {
                    report = {checked, damaged, repaired};
                });
        QSignalSpy ready(&pass, &UpdatePass::ready);
        pass.verify();
        QVERIFY(ready.wait(20000));
        QCOMPARE(report, (QList<int>{5, 2, 2}));
        expectInstalled("1.0.0");
        QCOMPARE(objectRequests().size(), 2);
        QCOMPARE(server.requestCount(packagePath("1.0.0")), 0);
    }

    // A network outage is not a fault of the release: the pass ends with
    // Retry, and the objects already fetched are not fetched again.
    void networkOutageEndsWithRetry()
    {
        publish("1.1.0", {{"data/a.txt", "a, second edition\n"}, {"data/b.txt", "b changed\n"}});
        const QJsonArray files = QJsonDocument::fromJson(readFile(tree + indexPath("1.1.0")))
                                     .object()
                                     .value("files")
                                     .toArray();
        QString last;
        for (const QJsonValue &file : files)
            if (file.toObject().value("path") == "data/b.txt")
                last = "/releases/clients/ivra-demo/" +
                       objectRelativePath(file.toObject().value("object").toString());
        const TestResponse good{200, readFile(tree + last)};
        TestResponse reset = good;
        reset.dropAfterBytes = 0;
        reset.reset = true;
        server.route(last, reset);
        MainWindow window;
        QTRY_VERIFY_WITH_TIMEOUT(
            statusText(&window).startsWith("Unable to download release data: "), 20000);
        QVERIFY(isShown(&window, "downloadButton"));
        const int fetched = objectRequests().size();
        server.route(last, good);
        button(&window, "downloadButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(&window), kReady, 20000);
        expectInstalled("1.1.0");
        QCOMPARE(objectRequests().size(), fetched + 1); // only the one that failed
        QCOMPARE(server.requestCount(packagePath("1.1.0")), 0);
    }

    // An update whose files cannot fit stops before its objects, with Retry;
    // a full disk is no reason to play offline.
    void updateThatCannotFit()
    {
        publish("1.1.0", {{"data/b.txt", QByteArray(20000, 'c')}});
        QJsonObject index = QJsonDocument::fromJson(readFile(tree + indexPath("1.1.0"))).object();
        QJsonArray files = index.value("files").toArray();
        for (QJsonValueRef file : files) {
            QJsonObject entry = file.toObject();
            if (entry.value("path") == "data/b.txt")
                entry.insert("size",
                             double(qint64(1) << 52)); // a compressed object's size may differ
            file = entry;
        }
        index.insert("files", files);
        serveIndex("1.1.0", QJsonDocument(index).toJson());
        MainWindow window;
        QTRY_VERIFY_WITH_TIMEOUT(statusText(&window).startsWith("Not enough disk space: 4504 TB "
                                                                "needed in "),
                                 20000);
        QVERIFY(isShown(&window, "downloadButton"));
        QVERIFY(!isShown(&window, "launchButton"));
        QVERIFY(objectRequests().isEmpty());
        QCOMPARE(server.requestCount(packagePath("1.1.0")), 0);
    }

    // An object may never write more than the index declares: a decompression
    // bomb stops at the declared size.
    void objectsAreBoundedByTheIndex()
    {
        const QString zip = temp.filePath("bomb.zip");
        const QString folder = temp.filePath("bomb");
        QVERIFY(writeFile(folder + "/zeros", QByteArray(8 << 20, '\0')));
        QCOMPARE(zipFolder(folder, zip), QString());
        const QString objects = temp.filePath("bomb-objects");
        FileIndexResult indexed = indexPackage(zip, objects, 3);
        QCOMPARE(indexed.error, QString());
        FileIndexEntry entry = indexed.index.files.first();
        QVERIFY(isCompressedObject(entry.object));
        QVERIFY(entry.objectSize < 4096);
        const QString object = objects + "/" + objectRelativePath(entry.object).mid(8);
        entry.size = 100;
        const QString error = writeObjectTo(object, entry, temp.filePath("bomb-out"));
        QVERIFY2(error.contains("holds more than the 100 bytes declared"), qPrintable(error));
        QVERIFY(QFileInfo(temp.filePath("bomb-out")).size() <= 100);
    }
};

QTEST_MAIN(DifferentialTest)
#include "tst_differential.moc"
