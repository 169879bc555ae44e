#include "support/testutil.h"

#include <QDirIterator>

#include "net/filedigest.h"

#include "install/installrecord.h"

#include "base/logging.h"
#include "storage/gatewaystate.h"
#include "storage/paths.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTimer>
#include <csignal>

namespace TestUtil {

QString freshDataRoot()
{
    const QString root = dataRootPath();
    QDir(root).removeRecursively();
    return root;
}

bool setUpWorkingInstall(const QString &version, const QByteArray &launchFile)
{
    GatewayState state;
    state.clients.insert(kProduct, {version, QString()});
    return writeFile(clientVersionPath(kProduct, version) + "/bin/client", launchFile) &&
           recordOnDisk(kProduct, version) && saveGatewayState(gatewayStatePath(), state);
}

bool recordOnDisk(const QString &productId, const QString &version)
{
    const QString folder = clientVersionPath(productId, version);
    StagedFiles staged;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        staged.digests.insert(QDir(folder).relativeFilePath(path), fileSha256Hex(path));
    }
    InstallRecord origin;
    origin.version = version;
    origin.launchExePath = QStringLiteral("bin/client");
    const InstallRecordResult recorded = recordFolder(folder, staged, origin);
    return recorded.error.isEmpty() &&
           writeInstallRecord(installRecordPath(clientProductPath(productId), version),
                              recorded.record);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QString sha256Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QStringList logLines()
{
    const QString text = QString::fromUtf8(readFile(currentLogFilePath()));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList logLinesSince(int count)
{
    return logLines().mid(count);
}

static QJsonObject merged(QJsonObject base, const QJsonObject &overrides)
{
    for (auto it = overrides.begin(); it != overrides.end(); ++it) {
        if (it.value().isUndefined())
            base.remove(it.key());
        else
            base.insert(it.key(), it.value());
    }
    return base;
}

QByteArray gatewayManifest(const QJsonObject &overrides)
{
    const QJsonObject base{
        {"product", "IVRA Gateway"},
        {"edition", "demo"},
        {"channel", "stable"},
        {"latestVersion", "2026.1024.1"},
        {"minimumVersion", "2026.1024.1"},
        {"installerUrl", "http://releases.test/releases/gateway/setup.exe"},
        {"installerSha256", QString(64, QLatin1Char('0'))},
    };
    return QJsonDocument(merged(base, overrides)).toJson();
}

QByteArray clientManifest(const QJsonObject &overrides, const QJsonObject &artifactOverrides,
                          const QJsonObject &launchOverrides)
{
    const QJsonObject artifact{
        {"url", "http://releases.test/releases/clients/ivra-demo-1.0.0.zip"},
        {"sha256", QString(64, QLatin1Char('0'))},
        {"sizeBytes", 0},
    };
    const QJsonObject launch{{"exePath", "bin/client"}, {"args", QJsonArray()}};
    const QJsonObject base{
        {"product", "ivra-demo"},
        {"channel", "stable"},
        {"latestVersion", "1.0.0"},
        {"minimumVersion", "1.0.0"},
        {"artifact", merged(artifact, artifactOverrides)},
        {"launch", merged(launch, launchOverrides)},
    };
    return QJsonDocument(merged(base, overrides)).toJson();
}

QByteArray recorderBytes()
{
    return readFile(recorderPath());
}

QJsonObject recorderRecord(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

bool lockPath(const QString &path)
{
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0)
        return true;
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
}

void unlockPath(const QString &path)
{
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void installTestLogging()
{
    QCoreApplication::setOrganizationName(QStringLiteral("IVRA Labs"));
    QCoreApplication::setApplicationName(QStringLiteral("IvraLauncher"));
    installFileLogging();
}

QString recorderPath()
{
    return qEnvironmentVariable("IVRA_TEST_BINARY_DIR") + QStringLiteral("/tests/ivra_recorder");
}

} // namespace TestUtil

bool TestUtil::runUntilQuit(int timeoutMs)
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(timeoutMs);
    return QCoreApplication::exec() == 0;
}

namespace TestUtil {
FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &saved);
}
} // namespace TestUtil
