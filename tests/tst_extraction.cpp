#include "install/clientinstall.h"
#include "install/diskspace.h"
#include "install/zipdirectory.h"
#include "install/zipextract.h"
#include "install/zipstream.h"
#include "support/testutil.h"
#include "support/zipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <qplatformdefs.h>

#include <limits>
#include <random>
#include <thread>
#include <zlib.h>

using namespace TestUtil;

Q_DECLARE_METATYPE(ZipEntry)

namespace {
ZipEntry file(const QByteArray &name, const QByteArray &data = "data")
{
    ZipEntry entry;
    entry.name = name;
    entry.data = data;
    return entry;
}

ZipEntry directory(const QByteArray &name)
{
    ZipEntry entry;
    entry.name = name;
    entry.unixMode = 040755;
    entry.dosAttributes = 0x10;
    return entry;
}

// A ZIP64 local header for the folder "a/" whose sizes say 2^64 - 52: the
// next header would be at 52 - 52, where this one starts.
QByteArray loopingZip64Header()
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const quint64 wrap = ~quint64(0) - 51;
    out << quint32(0x04034b50) << quint16(45) << quint16(0) << quint16(0) << quint32(0x210000)
        << quint32(0) << quint32(0xffffffff) << quint32(0xffffffff) << quint16(2) << quint16(20);
    out.writeRawData("a/", 2);
    out << quint16(1) << quint16(16) << wrap << wrap;
    return bytes;
}

// An entry of size zero bytes, deflated: a few KiB that unpack to size.
ZipEntry deflatedZeros(const QByteArray &name, qint64 size)
{
    const QByteArray zeros(size, '\0');
    z_stream deflater{};
    deflateInit2(&deflater, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    QByteArray packed(int(deflateBound(&deflater, uLong(size))), Qt::Uninitialized);
    deflater.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
    deflater.avail_in = uInt(size);
    deflater.next_out = reinterpret_cast<Bytef *>(packed.data());
    deflater.avail_out = uInt(packed.size());
    deflate(&deflater, Z_FINISH);
    packed.resize(qsizetype(deflater.total_out));
    deflateEnd(&deflater);
    ZipEntry entry = file(name, packed);
    entry.method = Z_DEFLATED;
    entry.sizeOverride = size;
    entry.crcOverride = crc32Of(zeros);
    return entry;
}

// Every file and folder below root, relative, sorted.
QStringList treeOf(const QString &root)
{
    QStringList names;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names << QDir(root).relativeFilePath(it.next());
    names.sort();
    return names;
}

// Every file below root with its bytes and mode: what an install leaves.
QStringList contentsOf(const QString &root)
{
    QStringList lines;
    for (const QString &name : treeOf(root)) {
        const QFileInfo info(root + "/" + name);
        lines << name + " " + QString::number(int(info.permissions()), 16) + " " +
                     (info.isDir() ? QString() : sha256Hex(readFile(info.filePath())));
    }
    return lines;
}

// Writes bytes to path as a download would: in chunks of random sizes, each
// announced once it is on disk, from its own thread; restartAt cuts the file
// back there and sends then (the new file's bytes), abandonAt gives up there.
struct Download
{
    GrowingFile file;
    std::thread thread;
    explicit Download(const QString &path) : file(path) { writeFile(path, QByteArray()); }
    ~Download() { thread.join(); }
    void send(const QByteArray &bytes, qint64 abandonAt = -1, qint64 restartAt = -1,
              const QByteArray &then = QByteArray())
    {
        thread = std::thread([=, this]() mutable {
            std::mt19937 random(quint32(bytes.size()));
            QFile out(file.path());
            out.open(QIODevice::WriteOnly);
            QByteArray rest = bytes;
            for (qint64 at = 0; at < rest.size();) {
                const qint64 end = qMin<qint64>(rest.size(), at + 1 + random() % 70000);
                if (abandonAt >= 0 && end >= abandonAt)
                    return file.abandon();
                out.write(rest.constData() + at, end - at);
                out.flush();
                file.grow(end);
                at = end;
                if (restartAt >= 0 && at >= restartAt) {
                    out.resize(0);
                    out.seek(0);
                    file.restart();
                    rest = then;
                    at = 0;
                    restartAt = -1;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            out.close();
            file.finish();
        });
    }
};
} // namespace

class ExtractionTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    int counter = 0;

    // Writes an archive and names a fresh extraction folder for it.
    QString archive(const QByteArray &bytes)
    {
        const QString path = temp.filePath(QStringLiteral("a%1.zip").arg(++counter));
        writeFile(path, bytes);
        return path;
    }
    // The extraction folder of the current test (and data row), with an optional part.
    QString sandbox(const QString &part = QString()) const
    {
        return temp.filePath(
            QStringLiteral("sandbox-%1-%2%3")
                .arg(QLatin1String(QTest::currentTestFunction()),
                     QString::number(qHash(QLatin1String(QTest::currentDataTag()))), part));
    }

    // An install of version into this test's product folder from a download.
    ClientInstallPlan arrivingPlan(Download &download, const QString &version) const
    {
        ClientInstallPlan plan;
        plan.productPath = sandbox("product");
        plan.version = version;
        plan.stagingPath = plan.productPath + "/.staging-" + version;
        plan.versionPath = plan.productPath + "/" + version;
        plan.launchExePath = "bin/client";
        plan.packagePath = download.file.path();
        plan.growing = std::shared_ptr<GrowingFile>(&download.file, [](GrowingFile *) {});
        return plan;
    }

private Q_SLOTS:
    void archiveMadeByTheZipTool()
    {
        QTemporaryDir source;
        writeFile(source.filePath("bin/tool"), "#!/bin/sh\necho hi\n");
        writeFile(source.filePath("data/readme.txt"), QByteArray(100000, 'r'));
        QFile::setPermissions(source.filePath("bin/tool"), QFile::ReadOwner | QFile::WriteOwner |
                                                               QFile::ExeOwner | QFile::ReadGroup |
                                                               QFile::ExeGroup);
        const QString zipPath = temp.filePath("tool.zip");
        QProcess zip;
        zip.setWorkingDirectory(source.path());
        zip.start("zip", {"-qr", zipPath, "bin", "data"});
        QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);

        const QString destination = temp.filePath("made-by-zip/nested/dest");
        QString error;
        QVERIFY2(extractZipPayload(zipPath, destination, &error), qPrintable(error));
        QCOMPARE(error, QString());
        QCOMPARE(treeOf(destination), (QStringList{"bin", "bin/tool", "data", "data/readme.txt"}));
        QCOMPARE(readFile(destination + "/data/readme.txt"), QByteArray(100000, 'r'));
        // The recorded permission bits come back, so the client can be started here.
        QT_STATBUF status;
        QVERIFY(QT_STAT(QFile::encodeName(destination + "/bin/tool").constData(), &status) == 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0750));
    }

    void emptyArchiveAndMissingArchive()
    {
        const QString empty = archive(buildZip({}));
        QString error;
        QVERIFY(extractZipPayload(empty, sandbox(), &error));
        QVERIFY(QFileInfo(sandbox()).isDir());
        QCOMPARE(treeOf(sandbox()), QStringList());

        const QString missing = temp.filePath("missing.zip");
        const QString destination = temp.filePath("never-created");
        QVERIFY(!extractZipPayload(missing, destination, &error));
        QCOMPARE(error, QStringLiteral("Unable to open zip payload: %1.").arg(missing));
        QVERIFY(!QFileInfo::exists(destination));
        QVERIFY(!extractZipPayload(archive("not a zip at all"), sandbox("2"), nullptr));
    }

    void namesAreNormalised()
    {
        const QString path =
            archive(buildZip({file("a\\b\\c.txt", "abc"), directory("bin/"),
                              file("lib/deep/x.so", "x"), file(" spaced.txt ", "s"),
                              file("a//double.txt", "d"), file("...", "dots"), file(".hidden")}));
        QString error;
        QVERIFY2(extractZipPayload(path, sandbox(), &error), qPrintable(error));
        QCOMPARE(treeOf(sandbox()),
                 (QStringList{"...", ".hidden", "a", "a/b", "a/b/c.txt", "a/double.txt", "bin",
                              "lib", "lib/deep", "lib/deep/x.so", "spaced.txt"}));
        QCOMPARE(readFile(sandbox() + "/a/b/c.txt"), QByteArray("abc"));
    }

    void unsafeNamesAreRefusedBeforeWriting_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("parent") << QByteArray("../x") << "../x";
        QTest::newRow("parent after prefix") << QByteArray("a/../../x") << "a/../../x";
        QTest::newRow("backslash parent") << QByteArray("..\\x") << "../x";
        QTest::newRow("absolute") << QByteArray("/etc/x") << "/etc/x";
        QTest::newRow("drive with slash") << QByteArray("C:/x") << "C:/x";
        QTest::newRow("drive relative") << QByteArray("c:x") << "c:x";
        QTest::newRow("dot segment") << QByteArray("dir/./file") << "dir/./file";
        QTest::newRow("only whitespace") << QByteArray("   ") << "";
        QTest::newRow("only slashes")
            << QByteArray("//") << "/"; // a folder entry: one final "/" dropped
        QTest::newRow("unc") << QByteArray("\\\\host\\share\\x") << "//host/share/x";
        QTest::newRow("stream") << QByteArray("file.txt:stream") << "file.txt:stream";
    }
    void unsafeNamesAreRefusedBeforeWriting()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        const QString path =
            archive(buildZip({file("first.txt", "1"), file(name, "evil"), file("after.txt")}));
        QString error;
        QVERIFY(!extractZipPayload(path, sandbox(), &error));
        QCOMPARE(error, QStringLiteral("Unsafe zip entry path: %1.").arg(shown));
        // The entry before it stays; nothing of it or after it was written.
        QCOMPARE(treeOf(sandbox()), QStringList{"first.txt"});
        QVERIFY(!QFile::exists(temp.filePath("x")));
    }

    void duplicatesAndConflicts()
    {
        QString error;
        QVERIFY(extractZipPayload(
            archive(buildZip({file("same.txt", "first"), file("same.txt", "second")})), sandbox(),
            &error));
        QCOMPARE(readFile(sandbox() + "/same.txt"), QByteArray("second"));

        // A file where a later entry wants a folder, and a folder where a later entry wants a file.
        QVERIFY(!extractZipPayload(archive(buildZip({file("thing", "f"), file("thing/inside")})),
                                   sandbox("2"), &error));
        QCOMPARE(
            error,
            QStringLiteral("Unable to create zip entry directory: %1/thing.").arg(sandbox("2")));
        QVERIFY(!extractZipPayload(archive(buildZip({directory("thing/"), file("thing")})),
                                   sandbox("3"), &error));
        QCOMPARE(error, QStringLiteral("Unable to extract zip entry: thing."));
        QVERIFY(QFileInfo(sandbox("3") + "/thing").isDir());
    }

    // How work is split for the threads: every entry of one file in one list,
    // in the order given; small files by folder; large files alone.
    void batchesForThreads()
    {
        const quint64 small = 1000;
        const quint64 large = 5 << 20;
        const QStringList targets{"/s/a/1",   "/s/b/1", "/s/a/big", "/s/a/2",
                                  "/s/a/big", "/s/b/1", "/s/c/dup", "/s/c/dup"};
        const QList<quint64> sizes{small, small, large, small, small, small, small, large};
        const QList<QList<qsizetype>> expected{{0, 3}, {1, 5}, {2, 4}, {6, 7}};
        QCOMPARE(fileBatchesForThreads(targets, sizes), expected);
        // A file named like a folder of small files is not merged with them.
        QCOMPARE(fileBatchesForThreads({"/s/a/x", "/s/a"}, {small, small}),
                 (QList<QList<qsizetype>>{{0}, {1}}));
    }

    void damagedEntriesFail_data()
    {
        QTest::addColumn<ZipEntry>("entry");
        ZipEntry badCrc = file("bad.bin", "payload");
        badCrc.crcOverride = 0x12345678;
        QTest::newRow("bad crc") << badCrc;
        ZipEntry lyingSize = file("lie.bin", "payload");
        lyingSize.sizeOverride = 3;
        QTest::newRow("lying size") << lyingSize;
        ZipEntry encrypted = file("secret.bin", "payload");
        encrypted.flags = 1;
        QTest::newRow("encrypted") << encrypted;
        ZipEntry method = file("odd.bin", "payload");
        method.method = 6; // imploded
        QTest::newRow("unsupported method") << method;
    }
    void damagedEntriesFail()
    {
        QFETCH(ZipEntry, entry);
        const QString path = archive(buildZip({file("good.txt", "ok"), entry}));
        QString error;
        QVERIFY(!extractZipPayload(path, sandbox(), &error));
        QCOMPARE(error, QStringLiteral("Unable to extract zip entry: %1.")
                            .arg(QString::fromLatin1(entry.name)));
        QCOMPARE(readFile(sandbox() + "/good.txt"), QByteArray("ok")); // nothing is cleaned up here
    }

    void truncatedArchive()
    {
        QByteArray bytes = buildZip({file("a.txt", QByteArray(5000, 'a')), file("b.txt", "b")});
        bytes.chop(30);
        QString error;
        QVERIFY(!extractZipPayload(archive(bytes), sandbox(), &error));
        QVERIFY2(error.startsWith(QStringLiteral("Unable to ")), qPrintable(error));
    }

    void linksAndSpecialEntriesBecomePlainFiles()
    {
        ZipEntry link = file("link", "/etc/passwd");
        link.unixMode = 0120777;
        ZipEntry setuid = file("tool", "#!/bin/sh\n");
        setuid.unixMode = 0106755;
        ZipEntry fromDos = file("dos.exe", "MZ");
        fromDos.madeByUnix = false;
        const QString path = archive(buildZip({link, file("link/through", "x"), setuid, fromDos}));
        QString error;
        QVERIFY(!extractZipPayload(path, sandbox(), &error));
        // The link was written as a plain file holding its target, so nothing goes "through" it.
        const QFileInfo written(sandbox() + "/link");
        QVERIFY(written.isFile() && !written.isSymLink());
        QCOMPARE(readFile(written.filePath()), QByteArray("/etc/passwd"));
        QCOMPARE(error,
                 QStringLiteral("Unable to create zip entry directory: %1/link.").arg(sandbox()));

        // setuid, setgid and sticky bits are never restored, only the 0777 part.
        QVERIFY(extractZipPayload(archive(buildZip({setuid, fromDos})), sandbox("2"), &error));
        QT_STATBUF status;
        QVERIFY(QT_STAT(QFile::encodeName(sandbox("2") + "/tool").constData(), &status) == 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0755));
        QCOMPARE(readFile(sandbox("2") + "/dos.exe"), QByteArray("MZ"));
    }

    // Names from tools that write a legacy code page (no UTF-8 flag) stay
    // distinct files; a file listed twice, first read-only, is written twice.
    void namesAndModesFromOtherTools()
    {
        ZipEntry first = file("\x8f\xe0\xa8.txt", "first");
        ZipEntry second = file("\x8f\xe1\xa8.txt", "second");
        ZipEntry readOnly = file("data/x", "1");
        readOnly.unixMode = 0100444;
        ZipEntry again = file("data/x", "2");
        const QString path = archive(buildZip({first, second, readOnly, again}));
        QString error;
        QVERIFY2(extractZipPayload(path, sandbox(), &error), qPrintable(error));
        // Read as CP437, as unzip does.
        QCOMPARE(readFile(sandbox() + QString::fromUtf8("/\u00c5\u03b1\u00bf.txt")), "first");
        QCOMPARE(readFile(sandbox() + QString::fromUtf8("/\u00c5\u00df\u00bf.txt")), "second");
        QCOMPARE(readFile(sandbox() + "/data/x"), "2");
        QCOMPARE(QFile::permissions(sandbox() + "/data/x") & QFileDevice::WriteOwner,
                 QFileDevice::WriteOwner);

        // An archive under a folder with non-ASCII characters, as in a user's profile.
        const QString folder =
            temp.filePath(QString::fromUtf8("\u00dcser \u041f\u0440\u0438\u043c\u0435\u0440"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(path, folder + "/package.zip"));
        QVERIFY2(extractZipPayload(folder + "/package.zip", folder + "/staging", &error),
                 qPrintable(error));
        QCOMPARE(readFile(folder + "/staging/data/x"), "2");
    }

    // The same first failure whatever the number of threads, with its cause for the log.
    void failuresInArchiveOrder_data()
    {
        QTest::addColumn<QList<ZipEntry>>("entries");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("cause");
        ZipEntry encrypted = file("b/encrypted", "secret");
        encrypted.flags = 1;
        ZipEntry unknown = file("c/unknown", "zzzz");
        unknown.method = 97;
        ZipEntry badCrc = file("d/crc", "payload");
        badCrc.crcOverride = 1234;
        ZipEntry longer = file("e/long", "0123456789");
        longer.sizeOverride = 4;
        QList<ZipEntry> many;
        for (int i = 0; i < 40; ++i)
            many << file(QByteArray("ok/") + QByteArray::number(i), QByteArray(5000, 'x'));
        QTest::newRow("encrypted") << (many + QList<ZipEntry>{encrypted, unknown})
                                   << "Unable to extract zip entry: b/encrypted."
                                   << "encrypted";
        QTest::newRow("method") << (many + QList<ZipEntry>{unknown, encrypted})
                                << "Unable to extract zip entry: c/unknown."
                                << "compression method 97 is not supported";
        QTest::newRow("crc") << (QList<ZipEntry>{badCrc} + many + QList<ZipEntry>{longer})
                             << "Unable to extract zip entry: d/crc."
                             << "CRC";
        QTest::newRow("size") << (many + QList<ZipEntry>{longer, file("../x")})
                              << "Unable to extract zip entry: e/long."
                              << "more than the 4 bytes";
        QTest::newRow("name after a bad entry")
            << (QList<ZipEntry>{longer} + many + QList<ZipEntry>{file("../x")})
            << "Unable to extract zip entry: e/long."
            << "more than";
        QTest::newRow("name first")
            << (many + QList<ZipEntry>{file("../x"), longer}) << "Unsafe zip entry path: ../x."
            << "unsafe";
    }

    void failuresInArchiveOrder()
    {
        QFETCH(QList<ZipEntry>, entries);
        QFETCH(QString, message);
        QFETCH(QString, cause);
        const QString path = archive(buildZip(entries));
        for (int threads : {1, 2, 4}) {
            QString error;
            QString why;
            ExtractionOptions options;
            options.threads = threads;
            options.cause = &why;
            QVERIFY(!extractZipPayload(path, sandbox(QString::number(threads)), &error, options));
            QCOMPARE(error, message);
            QVERIFY2(why.contains(cause), qPrintable(why));
        }
    }

    void progressAndCancel()
    {
        QList<ZipEntry> entries;
        for (int i = 0; i < 20; ++i)
            entries << file(QByteArray("f") + QByteArray::number(i), QByteArray(100000, 'y'));
        const QString path = archive(buildZip(entries));
        QCOMPARE(zipPayloadSize(path), qint64(2000000));
        ExtractionProgress progress;
        ExtractionOptions options;
        options.progress = &progress;
        QString error;
        QVERIFY(extractZipPayload(path, sandbox(), &error, options));
        QCOMPARE(progress.bytesWritten.load(), qint64(2000000));
        ExtractionProgress stopped;
        stopped.cancelled = true;
        options.progress = &stopped;
        QVERIFY(!extractZipPayload(path, sandbox("2"), &error, options));
        QCOMPARE(error, QStringLiteral("Extraction was cancelled."));
        QCOMPARE(stopped.bytesWritten.load(), qint64(0));
    }

    // A package extracted while it arrives installs exactly what it would
    // whole: the local headers are taken where they can be, the rest comes
    // from the central directory.
    void extractedWhileArriving_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<bool>("streams"); // whether entries can be taken from local headers
        QTemporaryDir source;
        writeFile(source.filePath("bin/client"), "#!/bin/sh\nexit 0\n");
        QFile::setPermissions(source.filePath("bin/client"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QByteArray text;
        for (int i = 0; i < 30000; ++i)
            text += QByteArray::number(i * 7919 % 10007) + " words\n";
        writeFile(source.filePath("data/text.txt"), text);
        QByteArray noise(300000, Qt::Uninitialized);
        std::mt19937 random(7);
        for (char &c : noise)
            c = char(random());
        writeFile(source.filePath("data/noise.bin"), noise);
        writeFile(source.filePath("data/empty"), QByteArray());
        auto zipped = [&](const QString &name, const QStringList &options) {
            const QString path = temp.filePath(name);
            QProcess zip;
            zip.setWorkingDirectory(source.path());
            zip.start("zip", QStringList{"-qr"} + options + QStringList{path, "bin", "data"});
            zip.waitForFinished();
            return path;
        };
        QTest::newRow("zip tool, deflated") << zipped("deflated.zip", {}) << true;
        QTest::newRow("zip tool, stored") << zipped("stored.zip", {"-0"}) << true;
        QTest::newRow("zip64 headers") << zipped("zip64.zip", {"-fz"}) << true;
        QTest::newRow("duplicates and folders")
            << archive(buildZip({directory("bin/"), file("bin/client", "one"), file("x/y", "1"),
                                 file("bin/client", "#!/bin/sh\n")}))
            << true;
        // Written to a pipe: sizes follow the data, known only at the end.
        const QString piped = temp.filePath("piped.zip");
        QProcess zip;
        zip.setWorkingDirectory(source.path());
        zip.setStandardOutputFile(piped);
        zip.start("sh", {"-c", "find bin data -type f | zip -q -@ - | cat"});
        zip.waitForFinished();
        QTest::newRow("data descriptors") << piped << false;
    }
    void extractedWhileArriving()
    {
        QFETCH(QString, package);
        QFETCH(bool, streams);
        QString error;
        QVERIFY2(extractZipPayload(package, sandbox("whole"), &error), qPrintable(error));

        Download download(temp.filePath("arriving.part"));
        ClientInstallPlan plan = arrivingPlan(download, "1.0.0");
        plan.packagePath = package;
        download.send(readFile(package));
        ExtractionProgress progress;
        const ClientInstallOutcome outcome = runClientInstall(plan, &progress);
        QVERIFY2(outcome.promoted, qPrintable(outcome.error + outcome.cause));
        QCOMPARE(contentsOf(plan.versionPath), contentsOf(sandbox("whole")));

        // What the local headers alone give, once the archive is whole.
        GrowingFile whole(package);
        whole.finish();
        const QList<StreamedEntry> streamed =
            streamZipEntries(whole, 0, sandbox("early"), nullptr, true);
        QCOMPARE(!streamed.isEmpty(), streams);
    }

    // A download cut anywhere leaves nothing installed; one cut back and sent
    // again leaves only the new file's entries.
    void cutWhileArriving_data()
    {
        QTest::addColumn<qint64>("abandonAt");
        QTest::addColumn<qint64>("restartAt");
        for (const qint64 at : {qint64(0), qint64(40), qint64(150000), qint64(600000)}) {
            QTest::addRow("abandoned at %lld", at) << at << qint64(-1);
            QTest::addRow("restarted at %lld", at) << qint64(-1) << at;
        }
    }
    void cutWhileArriving()
    {
        QFETCH(qint64, abandonAt);
        QFETCH(qint64, restartAt);
        QList<ZipEntry> first{file("bin/client", "#!/bin/sh\n")};
        for (int i = 0; i < 12; ++i)
            first << file("old/f" + QByteArray::number(i), QByteArray(60000, char('a' + i)));
        const QByteArray then = buildZip({file("bin/client", "new"), file("new.txt", "n")});
        Download download(temp.filePath("cut.part"));
        const ClientInstallPlan plan = arrivingPlan(download, "2.0.0");
        download.send(buildZip(first), abandonAt, restartAt, then);
        const ClientInstallOutcome outcome = runClientInstall(plan, nullptr);
        QCOMPARE(outcome.promoted, abandonAt < 0);
        QVERIFY(!QFileInfo::exists(plan.stagingPath));
        QCOMPARE(QFileInfo::exists(installRecordPath(plan.productPath, plan.version)),
                 abandonAt < 0);
        if (abandonAt < 0)
            QCOMPARE(treeOf(plan.versionPath), (QStringList{"bin", "bin/client", "new.txt"}));
    }

    // A local header that says other than the central directory: what was
    // written from it is refused.
    void localHeadersMustAgree()
    {
        QByteArray bytes = buildZip({file("a.txt", "aaa"), file("b.txt", "bbb")});
        const qsizetype local = bytes.indexOf("b.txt");
        QVERIFY(local > 0 && local < bytes.lastIndexOf("b.txt"));
        bytes[local] = 'c'; // the local header now names c.txt
        const QString path = archive(bytes);
        GrowingFile arrived(path);
        arrived.finish();
        const QList<StreamedEntry> streamed =
            streamZipEntries(arrived, 0, sandbox(), nullptr, true);
        QCOMPARE(streamed.size(), 2);
        ExtractionOptions options;
        options.streamed = &streamed;
        QString error;
        QVERIFY(!extractZipPayload(path, sandbox(), &error, options));
        QCOMPARE(error, QStringLiteral("Unable to extract zip entry: b.txt."));
        // Whole, from the central directory alone, it was fine.
        QVERIFY(extractZipPayload(path, sandbox("whole"), &error));
    }

    // What a host's bytes can make the stream do before the package's digest
    // is checked: it always moves forward, holds no more entries than the
    // package's size allows, and writes no more than its budget.
    void hostileStreams_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("budget");
        QTest::addColumn<int>("entries");
        QTest::addColumn<qint64>("written");
        QTest::newRow("a ZIP64 size that turns the offset back")
            << loopingZip64Header() + QByteArray(4096, 'x') << qint64(-1) << 0 << qint64(0);
        QByteArray folders;
        for (int i = 0; i < 32768; ++i)
            folders += buildZip({directory("a/")}).left(32);
        QTest::newRow("32-byte folder entries and no directory")
            << folders << qint64(-1) << int(folders.size() / 78) << qint64(0);
        const QByteArray flood =
            buildZip({file("bin/client", "#!/bin/sh\n"), deflatedZeros("data/zeros", 64 << 20)});
        QTest::newRow("deflated zeros past twice the package")
            << flood << 2 * qint64(flood.size()) << 1 << qint64(10);
    }
    void hostileStreams()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, budget);
        QFETCH(int, entries);
        QFETCH(qint64, written);
        const QString path = archive(bytes);
        GrowingFile arrived(path);
        arrived.finish();
        QString stopped;
        ExtractionProgress progress;
        const QList<StreamedEntry> streamed = streamZipEntries(
            arrived, 0, sandbox(), &progress, true, {bytes.size(), budget, &stopped});
        QCOMPARE(streamed.size(), entries);
        QCOMPARE(progress.bytesWritten.load(), written);
        QVERIFY(!stopped.isEmpty());
    }

    // The tool and the launcher read a package by one rule: each local
    // header where the central directory says, in its order, and nothing
    // between. A package that breaks it is refused by the tool, naming the
    // entry; the launcher installs what the central directory lists.
    void packageLayouts_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<bool>("setAside"); // what arrived is extracted again from the directory
        QTest::addColumn<QByteArray>("client");
        const ZipEntry client = file("bin/client", "#!/bin/sh\necho listed\n");
        const QList<ZipEntry> two{file("a.txt", "aaa"), client};
        QTest::newRow("in order") << buildZip(two) << QString() << false << client.data;
        QTest::newRow("directory in the other order")
            << buildZip(two, {1, 0}) << "entry bin/client" << true << client.data;
        ZipEntry hidden = file("bin/client", "#!/bin/sh\necho HIDDEN\n");
        hidden.listed = false;
        QTest::newRow("a local header it does not name")
            << buildZip({hidden, client}) << "entry bin/client" << true << client.data;
        QByteArray renamed = buildZip(two);
        renamed[renamed.indexOf("a.txt")] = 'c';
        QTest::newRow("a local header that names it otherwise")
            << renamed << "entry a.txt: its local header names it otherwise" << false
            << QByteArray();
    }
    void packageLayouts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        QFETCH(bool, setAside);
        QFETCH(QByteArray, client);
        const QString path = archive(bytes);
        const QString found = zipLayoutProblem(path);
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.startsWith(problem),
                 qPrintable(found));
        // The launcher's rule, on what its stream takes from the local headers.
        GrowingFile whole(path);
        whole.finish();
        const QList<StreamedEntry> streamed =
            streamZipEntries(whole, 0, sandbox("streamed"), nullptr, true);
        QVERIFY(!streamed.isEmpty());
        QCOMPARE(!streamedEntriesProblem(path, streamed).isEmpty(), setAside);

        // However much of it streams before it is whole, the install is what
        // the central directory lists (or, named otherwise, refused as before).
        Download download(temp.filePath(QStringLiteral("layout%1.part").arg(++counter)));
        const ClientInstallPlan plan = arrivingPlan(download, "1.0.0");
        download.send(bytes);
        const ClientInstallOutcome outcome = runClientInstall(plan, nullptr);
        QCOMPARE(outcome.promoted, !client.isEmpty());
        if (client.isEmpty())
            return;
        QCOMPARE(readFile(plan.versionPath + "/bin/client"), client);
        QCOMPARE(treeOf(plan.versionPath),
                 (QStringList{"a.txt", "bin", "bin/client"}).mid(bytes.contains("a.txt") ? 0 : 1));
    }

    // Sizes from a host are added without wrapping round.
    void sizeArithmetic()
    {
        constexpr qint64 kMost = std::numeric_limits<qint64>::max();
        QCOMPARE(saturatingAdd(kMost, 1), kMost);
        QCOMPARE(saturatingAdd(qint64(1) << 62, qint64(1) << 62), kMost);
        QCOMPARE(packageSpaceNeeded(qint64(1) << 62, 0), kMost);
        QCOMPARE(packageSpaceNeeded(kMost, 0), kMost);
        QCOMPARE(packageSpaceNeeded(kMost, kMost), kMost);
        QCOMPARE(packageSpaceNeeded(100, 40), qint64(160));
        QCOMPARE(packageSpaceNeeded(100, 400), qint64(100));
        QCOMPARE(packageSpaceNeeded(0, 0), qint64(0));
        QCOMPARE(streamBudget(100, -1), qint64(200));
        QCOMPARE(streamBudget(100, 5000), qint64(5000));
        QCOMPARE(streamBudget(0, -1), qint64(0));
        QCOMPARE(streamBudget(kMost, -1), kMost);
    }

    void pathRules()
    {
        QVERIFY(isSafeZipEntryName("a/b/c"));
        QVERIFY(isSafeZipEntryName("a//b"));
        QVERIFY(isSafeZipEntryName("..."));
        QVERIFY(isSafeZipEntryName(".x"));
        QVERIFY(!isSafeZipEntryName(""));
        QVERIFY(!isSafeZipEntryName("a/.."));
        QVERIFY(isInsideDirectory("/data/root", "/data/root"));
        QVERIFY(isInsideDirectory("/data/root/", "/data/root/a/../b"));
        QVERIFY(!isInsideDirectory("/data/root", "/data/rootkit/x"));
        QVERIFY(!isInsideDirectory("/data/root", "/data/root/../x"));
        QVERIFY(!isInsideDirectory("/data/root", "/Data/root/x"));
    }
};

QTEST_GUILESS_MAIN(ExtractionTest)
#include "tst_extraction.moc"
