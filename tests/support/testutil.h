#pragma once

// Besides widgets, the pass tests judge the state file and the network's limits.
#include "net/requestinfo.h"
#include "storage/gatewaystate.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class QWidget;
class QLabel;
class QPushButton;
class QProgressBar;

namespace TestUtil {
// What the test builds ask the test host for, and the product they install.
inline const QString kGatewayPath = QStringLiteral("/releases/manifests/gateway-demo.json");
inline const QString kClientPath = QStringLiteral("/releases/manifests/client-ivra-demo.json");
inline const QString kProduct = QStringLiteral("ivra-demo");

// An install of version on disk (bin/client holding launchFile), recorded as
// the active one in the state file, as an earlier run would have left it.
bool setUpWorkingInstall(const QString &version, const QByteArray &launchFile);

// Writes the record of a version folder as an install would have: every file
// with its digest and identity as it is now.
bool recordOnDisk(const QString &productId, const QString &version);

// The data root of the running test process, removed and made anew.
QString freshDataRoot();
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &data);
QString sha256Hex(const QByteArray &data);
QStringList logLines();
// Log lines written since the given count of lines.
QStringList logLinesSince(int count);

QByteArray gatewayManifest(const QJsonObject &overrides = {});
QByteArray clientManifest(const QJsonObject &overrides = {},
                          const QJsonObject &artifactOverrides = {},
                          const QJsonObject &launchOverrides = {});

QString statusText(QWidget *window);
QPushButton *button(QWidget *window, const char *name);
QProgressBar *progressBar(QWidget *window);
bool isShown(QWidget *window, const char *name);

QString recorderPath();
QByteArray recorderBytes();
// The JSON object the recorder wrote when it was started, empty until then.
QJsonObject recorderRecord(const QString &path);

// Makes a file or folder impossible to change or remove, even for root
// (the immutable attribute; without the rights for it, write permission is
// taken away instead), and gives it back.
bool lockPath(const QString &path);
void unlockPath(const QString &path);

// Sets up file logging for a test process as main() does.
void installTestLogging();
} // namespace TestUtil

#include <sys/resource.h>

namespace TestUtil {
// While it lives, no file this process writes may grow past the given size,
// as on a nearly full disk: a write beyond it fails with EFBIG (SIGXFSZ is
// ignored from the first use on).
struct FileSizeLimit
{
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    rlimit saved{};
};

// Runs the application's event loop until something calls
// QCoreApplication::quit (true) or the time runs out (false). quit() has an
// effect only while that loop runs.
bool runUntilQuit(int timeoutMs);
} // namespace TestUtil
