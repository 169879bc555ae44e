// What the window tests read off the window's widgets.
#include "support/testutil.h"

#include "ui/statustext.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

namespace TestUtil {

QString statusText(QWidget *window)
{
    // What the user reads: the zero-width break opportunities left out.
    return readableText(window->findChild<QLabel *>(QStringLiteral("statusLabel"))->text());
}

QPushButton *button(QWidget *window, const char *name)
{
    return window->findChild<QPushButton *>(QLatin1String(name));
}

QProgressBar *progressBar(QWidget *window)
{
    return window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
}

bool isShown(QWidget *window, const char *name)
{
    QWidget *widget = window->findChild<QWidget *>(QLatin1String(name));
    return widget && !widget->isHidden();
}

} // namespace TestUtil
