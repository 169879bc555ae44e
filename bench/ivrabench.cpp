// Benchmark driver: runs the real window's update pass with the offscreen
// platform and times it, or times the launcher's digest or extraction alone.
//   ivra-bench pass            -> "<ms> <peak RSS KiB> <longest event-loop gap ms>"
//                                 (start of pass to ready)
//   ivra-bench digest FILE     -> "<ms> <digest>"
//   ivra-bench extract ZIP DIR -> "<ms>"
#include "base/logging.h"
#include "install/zipextract.h"
#include "net/filedigest.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

namespace {
long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Log to the file as the launcher does, so its cost is part of the measure.
    QCoreApplication::setOrganizationName(QStringLiteral("IVRA Labs"));
    QCoreApplication::setApplicationName(QStringLiteral("IvraLauncher"));
    installFileLogging();
    const QStringList args = QCoreApplication::arguments();
    const QString mode = args.value(1);
    QElapsedTimer timer;
    if (mode == QLatin1String("digest")) {
        timer.start();
        const QString digest = fileSha256Hex(args.value(2));
        std::printf("%lld %s\n", timer.elapsed(), qPrintable(digest));
        return digest.isEmpty() ? 1 : 0;
    }
    if (mode == QLatin1String("extract")) {
        timer.start();
        QString error;
        const bool ok = extractZipPayload(args.value(2), args.value(3), &error);
        std::printf("%lld %s\n", timer.elapsed(), qPrintable(error));
        return ok ? 0 : 1;
    }
    if (mode != QLatin1String("pass"))
        return 2;

    timer.start();
    MainWindow window; // the pass starts in the constructor
    window.show();
    auto *status = window.findChild<QLabel *>(QStringLiteral("statusLabel"));
    int result = 1;
    QTimer poll;
    // The window's event loop runs this every millisecond it can; the longest
    // wait between two runs is how long the window could not answer.
    QElapsedTimer sinceLast;
    sinceLast.start();
    qint64 longestGap = 0;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        longestGap = qMax(longestGap, sinceLast.restart());
        const QString text = status->text();
        if (text == QLatin1String("IVRA ENGINE 2.0 Beta is ready.")) {
            std::printf("%lld %ld %lld\n", timer.elapsed(), peakRssKiB(), longestGap);
            result = 0;
            app.quit();
        } else if (window.findChild<QWidget *>(QStringLiteral("downloadButton"))->isVisible() ||
                   timer.elapsed() > 600000) {
            std::fprintf(stderr, "pass failed: %s\n", qPrintable(text));
            app.quit();
        }
    });
    poll.start(1);
    app.exec();
    return result;
}
