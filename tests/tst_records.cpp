// Install records against real files: a file is trusted without reading it
// only while it is exactly the file its version's record describes; every
// way of changing it behind the launcher's back makes it read. Reused files
// are placed by a hard link (or a clone) where they can be, and a forced copy
// gives the same install.
#include "install/clientinstall.h"
#include "install/differential.h"
#include "install/verifyjob.h"
#include "releasetool/objects.h"
#include "releasetool/publishing.h"
#include "storage/paths.h"
#include "support/testutil.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <utime.h>

using namespace TestUtil;

namespace {
const QStringList kFiles{"bin/client", "data/a.txt", "data/b.txt", "data/c.bin"};

QByteArray noise(int bytes, quint32 seed)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), bytes / 4);
    return data;
}

// Sets path's modification time back to what it was, as `touch -r` does.
void putTimesBack(const QString &path, const FileIdentity &before)
{
    const timespec times[2] = {{before.mtimeNs / 1000000000, before.mtimeNs % 1000000000},
                               {before.mtimeNs / 1000000000, before.mtimeNs % 1000000000}};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
}
} // namespace

class RecordsTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    QString zip;
    FileIndex index;

    QString version(const QString &name) const { return clientVersionPath(kProduct, name); }

    // 1.0.0 installed from the package, with its record, as the launcher does it.
    void install()
    {
        freshDataRoot();
        ClientInstallPlan plan = clientInstallPlan(kProduct, "1.0.0", "bin/client", zip);
        ExtractionProgress progress;
        const ClientInstallOutcome outcome = runClientInstall(plan, &progress);
        QVERIFY2(outcome.promoted, qPrintable(outcome.error));
    }

    DifferentialPlan plan(RecordTrust trust = RecordTrust::Metadata) const
    {
        return planDifferentialInstall(index, {version("1.0.0")}, nullptr, trust);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString source = temp.filePath("source");
        QVERIFY(writeFile(source + "/bin/client", "#!/bin/sh\n"));
        QFile::setPermissions(source + "/bin/client",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(writeFile(source + "/data/a.txt", "alpha\n"));
        QVERIFY(writeFile(source + "/data/b.txt", QByteArray(5000, 'b')));
        QVERIFY(writeFile(source + "/data/c.bin", noise(300000, 7)));
        zip = temp.filePath("package.zip");
        QCOMPARE(zipFolder(source, zip), QString());
        const FileIndexResult indexed = indexPackage(zip);
        QCOMPARE(indexed.error, QString());
        index = indexed.index;
    }

    void recordDescribesTheInstall()
    {
        install();
        const InstallRecordResult read =
            readInstallRecord(installRecordPath(clientProductPath(kProduct), "1.0.0"));
        QCOMPARE(read.error, QString());
        QCOMPARE(read.record.files.size(), kFiles.size());
        for (const RecordedFile &file : read.record.files) {
            const FileIdentity identity = fileIdentity(version("1.0.0") + "/" + file.path);
            QCOMPARE(file.sha256, sha256Hex(readFile(version("1.0.0") + "/" + file.path)));
            QVERIFY(matchesRecord(read.record, file, identity));
        }
        const DifferentialPlan untouched = plan();
        QCOMPARE(untouched.known, kFiles.size()); // nothing read
        QCOMPARE(untouched.hashed, 0);
        // Verification reads everything regardless.
        QCOMPARE(plan(RecordTrust::None).hashed, kFiles.size());
    }

    // Each way of changing a file behind the launcher's back makes it read;
    // a file whose bytes changed is then fetched, not reused.
    void changesBehindTheLaunchersBack_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("reused"); // the bytes are still right
        QTest::newRow("same-size write right after install") << "write" << false;
        QTest::newRow("content changed, modification time put back") << "touch -r" << false;
        QTest::newRow("replaced by another file, times put back") << "replace" << false;
        QTest::newRow("replaced by a copy of itself") << "copy" << true;
        QTest::newRow("truncated") << "truncate" << false;
        QTest::newRow("written in the record's own tick") << "racy" << true;
        QTest::newRow("a folder without a record") << "no record" << true;
    }
    void changesBehindTheLaunchersBack()
    {
        QFETCH(QString, change);
        QFETCH(bool, reused);
        install();
        const QString path = version("1.0.0") + "/data/b.txt";
        const QString recordPath = installRecordPath(clientProductPath(kProduct), "1.0.0");
        const FileIdentity before = fileIdentity(path);
        if (change == "write") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.write("X") == 1);
        } else if (change == "touch -r") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.write("X") == 1);
            file.close();
            putTimesBack(path, before);
        } else if (change == "replace" || change == "copy") {
            const QByteArray bytes =
                change == "copy" ? readFile(path) : QByteArray(before.size, 'Z');
            QVERIFY(QFile::remove(path));
            QVERIFY(writeFile(path, bytes));
            putTimesBack(path, before);
        } else if (change == "truncate") {
            QVERIFY(QFile::resize(path, before.size - 1));
        } else if (change == "racy") {
            InstallRecord record = readInstallRecord(recordPath).record;
            record.stampNs = before.mtimeNs; // as if recorded in the same tick
            QVERIFY(writeInstallRecord(recordPath, record));
        } else if (change == "no record") {
            QVERIFY(QFile::remove(recordPath));
        }
        const DifferentialPlan planned = plan();
        const qsizetype at =
            std::find_if(index.files.cbegin(), index.files.cend(),
                         [](const FileIndexEntry &e) { return e.path == "data/b.txt"; }) -
            index.files.cbegin();
        QCOMPARE(!planned.sources.at(at).isEmpty(), reused);
        if (change != "truncate") // a size that differs is known without reading
            QVERIFY(planned.hashed >= 1);
        if (change != "no record" && change != "racy")
            QCOMPARE(planned.known, kFiles.size() - 1);
    }

    // A differential fill links what it reuses (or clones it) and never
    // copies it; a forced copy gives the same files with inodes of their own.
    void reusedFilesLinkedOrCopied()
    {
        install();
        const DifferentialPlan planned = plan();
        QVERIFY(QDir().mkpath(clientObjectCachePath(kProduct)));
        for (const Placement placement : {Placement::Best, Placement::Copy}) {
            const QString staging = temp.filePath(placement == Placement::Best ? "best" : "copy");
            QDir(staging).removeRecursively();
            QVERIFY(QDir().mkpath(staging));
            FillCounts counts;
            StagedFiles staged;
            QCOMPARE(fillStagingFromIndex(index, planned, clientObjectCachePath(kProduct), staging,
                                          nullptr, placement, &counts, &staged),
                     QString());
            // What the fill knew of a file without looking is what a look finds.
            for (auto it = staged.identities.cbegin(); it != staged.identities.cend(); ++it) {
                const FileIdentity now = fileIdentity(staging + "/" + it.key());
                QCOMPARE(it->inode, now.inode);
                QCOMPARE(it->mtimeNs, now.mtimeNs);
                QCOMPARE(it->size, now.size);
                QCOMPARE(it->executable, now.executable);
            }
            for (const QString &name : kFiles) {
                QCOMPARE(readFile(staging + "/" + name), readFile(version("1.0.0") + "/" + name));
                const bool shared = fileIdentity(staging + "/" + name).inode ==
                                    fileIdentity(version("1.0.0") + "/" + name).inode;
                QCOMPARE(shared, placement == Placement::Best && counts.cloned.load() == 0);
            }
            QVERIFY(QFileInfo(staging + "/bin/client").isExecutable());
            QVERIFY(!QFileInfo(staging + "/data/a.txt").isExecutable());
            QCOMPARE(staged.digests.size(), kFiles.size());
            QCOMPARE(counts.linked + counts.cloned + counts.copied, kFiles.size());
            QCOMPARE(counts.copied.load(), placement == Placement::Copy ? kFiles.size() : 0);
        }
    }

    // Verification reads every file: a flipped byte that keeps size and times
    // is found, and so is a missing file.
    void verificationReadsEverything()
    {
        install();
        const QString path = version("1.0.0") + "/data/c.bin";
        const FileIdentity before = fileIdentity(path);
        QByteArray bytes = readFile(path);
        bytes[1000] = char(bytes.at(1000) ^ 1);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(1000));
            QVERIFY(file.write(bytes.mid(1000, 1)) == 1);
        }
        putTimesBack(path, before);
        QVERIFY(QFile::remove(version("1.0.0") + "/data/a.txt"));
        // The right bytes without their execute bit: a launch file that does not start.
        QVERIFY(QFile::setPermissions(version("1.0.0") + "/bin/client",
                                      QFile::ReadOwner | QFile::WriteOwner));
        const QString recordPath = installRecordPath(clientProductPath(kProduct), "1.0.0");
        const InstallRecord record = readInstallRecord(recordPath).record;
        VerifyJob job(version("1.0.0"), record, RecordTrust::None);
        VerifyResult result;
        bool done = false;
        connect(&job, &VerifyJob::finished, this, [&](const VerifyResult &verified) {
            result = verified;
            done = true;
        });
        job.start();
        QTRY_VERIFY(done);
        QCOMPARE(result.checked, kFiles.size());
        QCOMPARE(result.damaged, (QStringList{"bin/client", "data/a.txt", "data/c.bin"}));

        // A record that names a path outside its folder is no record at all.
        QByteArray text = readFile(recordPath);
        QVERIFY(text.contains(" data/a.txt\n"));
        QVERIFY(writeFile(recordPath, text.replace(" data/a.txt\n", " ../../a.txt\n")));
        QVERIFY(!readInstallRecord(recordPath).error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
