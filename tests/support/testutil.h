#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class QWidget;
class QLabel;
class QPushButton;
class QProgressBar;

namespace TestUtil {
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
} // namespace TestUtil
