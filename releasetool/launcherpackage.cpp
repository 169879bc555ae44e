#include "releasetool/launcherpackage.h"

#include "install/launcherfolders.h"
#include "install/zipextract.h"
#include "releasetool/packagecheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>

namespace {
constexpr int kVersionTimeoutMs = 20000;
constexpr quint16 kMachineX86_64 = 62;
constexpr quint16 kMachineAarch64 = 183;
constexpr quint32 kLoadSegment = 1;

quint16 le16(const QByteArray &b, qsizetype at)
{
    return quint16(uchar(b[at]) | (uchar(b[at + 1]) << 8));
}
quint32 le32(const QByteArray &b, qsizetype at)
{
    return quint32(le16(b, at)) | (quint32(le16(b, at + 2)) << 16);
}
quint64 le64(const QByteArray &b, qsizetype at)
{
    return quint64(le32(b, at)) | (quint64(le32(b, at + 4)) << 32);
}

void note(QStringList *report, const QString &line)
{
    if (report)
        report->append(line);
}

// The platform this machine's programs are built for, as packages name it.
QString hostPlatform()
{
#ifdef Q_OS_LINUX
    const QString cpu = QSysInfo::currentCpuArchitecture();
    if (cpu == QLatin1String("x86_64"))
        return QStringLiteral("linux-x86_64");
    if (cpu == QLatin1String("arm64"))
        return QStringLiteral("linux-aarch64");
#endif
    return QString();
}
} // namespace

QString executableProblem(const QString &path, const QString &platform)
{
    const QString name = QFileInfo(path).fileName();
    const quint16 machine = platform == QLatin1String("linux-x86_64")    ? kMachineX86_64
                            : platform == QLatin1String("linux-aarch64") ? kMachineAarch64
                                                                         : 0;
    if (machine == 0)
        return QString(); // a platform this tool knows no executable format of
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read").arg(name);
    const qint64 size = file.size();
    const QByteArray head = file.read(64);
    if (head.size() < 64 || !head.startsWith("\x7f"
                                             "ELF"))
        return QStringLiteral("%1 is not a Linux executable (ELF)").arg(name);
    if (head[4] != 2 || head[5] != 1 || le16(head, 18) != machine)
        return QStringLiteral("%1 is not built for %2").arg(name, platform);
    // Every part it loads must be in the file: one cut short is not.
    const quint64 programHeaders = le64(head, 32);
    const quint64 sectionHeaders = le64(head, 40);
    const quint16 programEntry = le16(head, 54);
    const quint16 programCount = le16(head, 56);
    const quint64 sectionsEnd = sectionHeaders + quint64(le16(head, 58)) * le16(head, 60);
    const quint64 programsEnd = programHeaders + quint64(programEntry) * programCount;
    bool whole = programEntry >= 56 && programsEnd <= quint64(size) &&
                 (sectionHeaders == 0 || sectionsEnd <= quint64(size));
    for (quint16 i = 0; whole && i < programCount; ++i) {
        if (!file.seek(qint64(programHeaders + quint64(i) * programEntry)))
            return QStringLiteral("%1 cannot be read").arg(name);
        const QByteArray entry = file.read(56);
        whole = entry.size() == 56 && (le32(entry, 0) != kLoadSegment ||
                                       le64(entry, 8) + le64(entry, 32) <= quint64(size));
    }
    if (!whole)
        return QStringLiteral("%1 is cut short (%2 bytes)").arg(name).arg(size);
    return QString();
}

QString checkLauncherPackage(const QString &zipPath, const QString &platform,
                             const QString &version, const QString &edition, QStringList *report)
{
    QString defect = inspectPackage(zipPath, QStringLiteral("IvraLauncher"), report);
    if (!defect.isEmpty())
        return defect;
    QTemporaryDir scratch;
    const QString staging = scratch.filePath(QStringLiteral("staging"));
    if (!scratch.isValid() || !extractZipPayload(zipPath, staging, &defect))
        return defect.isEmpty() ? QStringLiteral("Unable to create a temporary folder.") : defect;
    const QString programs = launcherProgramNames().join(QStringLiteral(" and "));
    if (!isWholeLauncherFolder(staging))
        return QStringLiteral("A launcher package holds %1 at its top, as executable files (Unix "
                              "mode bits kept); %2 does not.")
            .arg(programs, zipPath);
    for (const QString &program : launcherProgramNames()) {
        const QString problem = executableProblem(QDir(staging).filePath(program), platform);
        if (!problem.isEmpty())
            return QStringLiteral("The launcher package %1 cannot start on %2: %3.")
                .arg(zipPath, platform, problem);
    }
    note(report, QStringLiteral("  launcher package extracts by the launcher's rules, %1 found")
                     .arg(programs));
    if (platform != hostPlatform()) {
        note(report, QStringLiteral("  its version is not checked: this machine does not run "
                                    "%1 programs")
                         .arg(platform));
        return QString();
    }
    QProcess updater;
    updater.setProcessChannelMode(QProcess::SeparateChannels);
    updater.start(QDir(staging).filePath(QStringLiteral("ivra-update")),
                  {QStringLiteral("--version")});
    const bool ran = updater.waitForFinished(kVersionTimeoutMs);
    if (!ran)
        updater.kill();
    const QString printed = QString::fromLocal8Bit(updater.readAllStandardOutput()).trimmed();
    const QString expected = QStringLiteral("ivra-update %1 (%2 edition)")
                                 .arg(version.trimmed(), edition.trimmed().toLower());
    if (!ran || updater.exitStatus() != QProcess::NormalExit || updater.exitCode() != 0 ||
        printed != expected)
        return QStringLiteral("The launcher package %1 is not %2: its ivra-update --version "
                              "printed \"%3\" (exit %4), not \"%5\". A launcher would replace "
                              "itself with it at every start.")
            .arg(zipPath, version.trimmed(), printed.left(200))
            .arg(ran ? updater.exitCode() : -1)
            .arg(expected);
    note(report, QStringLiteral("  its ivra-update says \"%1\"").arg(printed));
    return QString();
}
