#include "install/zipextract.h"
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
