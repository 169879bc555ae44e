// ivra-update: the launcher's update pass with no window and no display, for
// unattended machines and for publishers who test a release from a script.
// It uses the launcher's data folder, log and lock.
#include "base/buildidentity.h"
#include "base/logging.h"
#include "base/processstart.h"
#include "net/ratelimit.h"
#include "pass/instanceguard.h"
#include "pass/launcherupdate.h"
#include "pass/passreport.h"
#include "pass/updatepass.h"
#include "storage/gatewaysettings.h"
#include "storage/paths.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkProxyFactory>
#include <QTextStream>

namespace {
constexpr int kExitReady = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInstallerStarted = 3;

const char kDescription[] =
    "Runs the IVRA Gateway's update pass without a window: checks the release service,\n"
    "installs the newest client (or starts the Gateway's installer) in the launcher's data\n"
    "folder, and prints each step, then the client versions before and after and why\n"
    "nothing changed. Exit status: 0 when the client is ready (or was started offline),\n"
    "1 when the pass failed, 2 on bad usage, 3 when the Gateway's installer was started.\n"
    "\n"
    "Examples:\n"
    "  ivra-update            bring the client up to date\n"
    "  ivra-update --launch   bring it up to date, then start it\n"
    "  ivra-update --verify   read every installed file, fetch again what is damaged\n"
    "  ivra-update --rollback go back to the previous client version and hold updates\n"
    "  ivra-update --json     end with one line of JSON: result, exitCode, versions, reason\n"
    "  ivra-update --limit-rate 5M   update, downloading at most 5 MB/s from now on\n"
    "  ivra-update --install-launcher   install this launcher for this user: the command\n"
    "                         ~/.local/bin/ivra-gateway and a desktop entry; it then updates "
    "itself";

void printLine(FILE *stream, const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stream);
    std::fflush(stream);
}
} // namespace

int main(int argc, char **argv)
{
    rememberProcessStart(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("IVRA Labs"));
    QCoreApplication::setApplicationName(QStringLiteral("IvraLauncher"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1 (%2 edition)").arg(GatewayBuildVersion, buildEdition()));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption launch(QStringLiteral("launch"),
                                    QStringLiteral("Start the client once it is ready."));
    parser.addOption(launch);
    const QCommandLineOption verify(
        QStringLiteral("verify"),
        QStringLiteral("Instead of updating: read every file of the installed version, check it "
                       "against the version's record and fetch again what is damaged or missing."));
    parser.addOption(verify);
    const QCommandLineOption installLauncher(
        QStringLiteral("install-launcher"),
        QStringLiteral("Install this launcher build for this user (below the data folder, with "
                       "the command ~/.local/bin/ivra-gateway and a desktop entry), so that it "
                       "updates itself."));
    parser.addOption(installLauncher);
    const QCommandLineOption allowDowngrade(
        QStringLiteral("allow-downgrade"),
        QStringLiteral("With --install-launcher: install this build even where a newer one is "
                       "installed."));
    parser.addOption(allowDowngrade);
    const QCommandLineOption launcherRollback(
        QStringLiteral("launcher-rollback"),
        QStringLiteral("Go back to the previous launcher of the per-user install and never "
                       "install the current one again."));
    parser.addOption(launcherRollback);
    const QCommandLineOption rollback(
        QStringLiteral("rollback"),
        QStringLiteral("Instead of updating: make the kept previous client version active "
                       "(repairing it first) and hold optional updates back."));
    parser.addOption(rollback);
    const QCommandLineOption undoRollback(
        QStringLiteral("undo-rollback"),
        QStringLiteral("End the hold of a rollback, then update as usual."));
    parser.addOption(undoRollback);
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Print the steps on standard error and one JSON summary line on standard "
                       "output at the end."));
    parser.addOption(json);
    const QCommandLineOption limitRate(
        QStringLiteral("limit-rate"),
        QStringLiteral("Keep RATE (bytes per second: 500K, 5M, 1.5G; 0 for no limit) as the most "
                       "all downloads take together, for this pass and later ones."),
        QStringLiteral("RATE"));
    parser.addOption(limitRate);
    if (!parser.parse(app.arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty()
                                  ? QStringLiteral("Unexpected argument: %1")
                                        .arg(parser.positionalArguments().value(0))
                                  : parser.errorText();
        printLine(
            stderr,
            QStringLiteral("ivra-update: %1\nUsage: ivra-update [--verify] "
                           "[--launch] [--rollback] [--undo-rollback] [--json] [--limit-rate RATE] "
                           "[--install-launcher] [--launcher-rollback]; "
                           "ivra-update --help says more.")
                .arg(error));
        return kExitUsage;
    }
    const qint64 rate = parser.isSet(limitRate) ? parseRate(parser.value(limitRate)) : 0;
    if (rate < 0) {
        printLine(stderr, QStringLiteral("ivra-update: Invalid rate: %1 (for example 500K or 5M; 0 "
                                         "for no limit)")
                              .arg(parser.value(limitRate)));
        return kExitUsage;
    }
    if (!downloadLimitProblem(rate).isEmpty()) {
        printLine(stderr, QStringLiteral("ivra-update: %1").arg(downloadLimitProblem(rate)));
        return kExitUsage;
    }
    if (parser.isSet(help)) {
        printLine(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        printLine(stdout, QStringLiteral("ivra-update %1").arg(app.applicationVersion()));
        return 0;
    }

    installFileLogging();
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    logInfo(QStringLiteral("IVRA updater started (ivra-update)."));
    logInfo(QStringLiteral("Log file: %1").arg(currentLogFilePath()));

    // The same lock as the launcher's: never two passes over one data folder.
    InstanceGuard guard(dataRootPath());
    if (guard.acquire(false) != InstanceGuard::Outcome::Acquired) {
        const QString message = guard.lockedOutMessage().isEmpty()
                                    ? QStringLiteral("IVRA Gateway is already running.")
                                    : guard.lockedOutMessage();
        logWarning(message);
        printLine(stderr, message);
        if (parser.isSet(json))
            printLine(stdout, QString::fromUtf8(reportJson(PassReport(), QStringLiteral("busy"),
                                                           kExitFailed, message)));
        return kExitFailed;
    }
    // Only an update pass reaches the Gateway manifest, where it counts as healthy.
    if (!parser.isSet(installLauncher) && !parser.isSet(launcherRollback) &&
        !parser.isSet(verify) && !parser.isSet(rollback)) {
        const QString instead = countLauncherStart(QStringLiteral("ivra-update"));
        if (!instead.isEmpty()) {
            guard.release();
            runInstead(instead);
            guard.acquire(false);
        }
    }
    if (parser.isSet(installLauncher) || parser.isSet(launcherRollback)) {
        QStringList report;
        const QString error = parser.isSet(installLauncher)
                                  ? installRunningLauncher(&report, parser.isSet(allowDowngrade))
                                  : rollBackLauncherByHand(&report);
        for (const QString &line : report)
            printLine(stdout, line);
        if (!error.isEmpty()) {
            logWarning(error);
            printLine(stderr, error);
        }
        return error.isEmpty() ? kExitReady : kExitFailed;
    }

    UpdatePass pass;
    if (parser.isSet(limitRate)) {
        QString error;
        if (!pass.setDownloadLimit(rate, &error)) {
            logWarning(error);
            printLine(stderr, error);
            return kExitFailed;
        }
        printLine(parser.isSet(json) ? stderr : stdout,
                  QStringLiteral("Download speed limit: %1.").arg(rateText(rate)));
    }
    // A new ivra-update is checked, then run in this one's place with the same arguments.
    pass.setLauncherUpdateMode(LauncherUpdate::Mode::Check);
    // The build works as far as it goes once its pass ends, whatever ended
    // it: a network, host or signature failure is not the build's.
    QObject::connect(&pass, &UpdatePass::gatewayChecked, &app, &reportLauncherHealthy);
    QObject::connect(&pass, &UpdatePass::failed, &app, &reportLauncherHealthy);
    QObject::connect(&pass, &UpdatePass::ready, &app, &reportLauncherHealthy);
    QObject::connect(&pass, &UpdatePass::launcherHandingOver, &guard, &InstanceGuard::release);
    QObject::connect(&pass, &UpdatePass::launcherKept, &guard, [&guard] { guard.acquire(false); });
    QObject::connect(&pass, &UpdatePass::launcherSwitched, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    // With --json, standard output holds the summary line alone.
    FILE *steps = parser.isSet(json) ? stderr : stdout;
    const auto finish = [&](int exitCode, const QString &message) {
        if (!parser.isSet(verify))
            for (const QString &line : reportLines(pass.report()))
                printLine(steps, line);
        if (parser.isSet(json)) {
            const QString result = exitCode == kExitInstallerStarted
                                       ? QStringLiteral("installer-started")
                                   : exitCode == kExitReady ? QStringLiteral("ready")
                                                            : QStringLiteral("failed");
            printLine(stdout,
                      QString::fromUtf8(reportJson(pass.report(), result, exitCode, message)));
        }
        QCoreApplication::exit(exitCode);
    };
    QString status;
    QElapsedTimer clock;
    clock.start();
    ProgressThrottle throttle;
    QString detail;
    QObject::connect(&pass, &UpdatePass::statusChanged, &app, [&](const QString &text) {
        status = text;
        printLine(steps, text);
        throttle.restart(clock.elapsed());
    });
    QObject::connect(&pass, &UpdatePass::detailChanged, &app,
                     [&](const QString &text) { detail = text; });
    QObject::connect(&pass, &UpdatePass::progressChanged, &app, [&](int percent) {
        if (!throttle.due(clock.elapsed(), percent))
            return;
        printLine(steps, detail.isEmpty()
                             ? QStringLiteral("%1 %2 %").arg(status).arg(percent)
                             : QStringLiteral("%1 %2 % (%3)").arg(status).arg(percent).arg(detail));
    });
    QObject::connect(&pass, &UpdatePass::failed, &app, [&](const QString &message, bool) {
        printLine(stderr, message);
        // Out of reach of the release service, with a whole client installed.
        if (pass.playableOffline()) {
            printLine(steps, QStringLiteral("Playing offline: the release service could not be "
                                            "reached."));
            if (parser.isSet(launch)) {
                pass.launch();
                return;
            }
        }
        finish(kExitFailed, message);
    });
    QObject::connect(&pass, &UpdatePass::ready, &app, [&](bool) {
        if (parser.isSet(launch))
            pass.launch();
        else
            finish(kExitReady, QString());
    });
    QObject::connect(&pass, &UpdatePass::quitRequested, &app, [&] {
        finish(pass.report().installerStarted ? kExitInstallerStarted : kExitReady, QString());
    });
    QObject::connect(&pass, &UpdatePass::verified, &app,
                     [&](int checked, int damaged, int repaired) {
                         printLine(steps, QStringLiteral("%1 checked, %2 damaged, %3 repaired.")
                                              .arg(countOf(checked, "file", "files"))
                                              .arg(damaged)
                                              .arg(repaired));
                     });
    void (UpdatePass::*run)() = &UpdatePass::start;
    if (parser.isSet(verify))
        run = &UpdatePass::verify;
    else if (parser.isSet(rollback))
        run = &UpdatePass::rollBack;
    else if (parser.isSet(undoRollback))
        run = &UpdatePass::undoRollback;
    // Inside the event loop, so that a pass that ends at once can still set the exit status.
    QMetaObject::invokeMethod(&pass, run, Qt::QueuedConnection);
    return app.exec();
}
