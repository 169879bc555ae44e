#include "release/clientdecision.h"

#include "release/version.h"

ClientDecision decideClientUpdate(const ClientRelease &release, const QString &productId,
                                  const InstalledClient &installed, const ReleaseBinding &binding,
                                  const RolloutStanding &standing)
{
    ClientDecision decision;
    if (release.product != productId) {
        decision.message =
            QStringLiteral("Client manifest product '%1' does not match this Gateway build '%2'.")
                .arg(release.product, productId);
        return decision;
    }
    decision.message = checkReleaseChannel(release.channel, binding);
    if (!decision.message.isEmpty())
        return decision;
    const ReleaseVersion latest = parseReleaseVersion(release.latestVersion);
    const ReleaseVersion minimum = parseReleaseVersion(release.minimumVersion);
    if (!isValid(latest) || !isValid(minimum)) {
        decision.message = QStringLiteral("Client manifest contains invalid version data.");
        return decision;
    }
    if (!isAtLeast(latest, minimum)) {
        decision.message =
            QStringLiteral("Client manifest latest version is below minimum version.");
        return decision;
    }
    if (!installed.activeVersion.isEmpty() && !installed.activeExecutable.isEmpty() &&
        installed.activeVersion.trimmed() == release.latestVersion.trimmed()) {
        decision.action = ClientAction::Ready;
        decision.executable = installed.activeExecutable;
        return decision;
    }
    const ReleaseVersion active = parseReleaseVersion(installed.activeVersion);
    // A release below the active version is a rollback: it is for every
    // install, whatever its rollout says.
    const bool rollback = isValid(active) && !isAtLeast(latest, active);
    const bool required = !isValid(active) || !isAtLeast(active, minimum) || rollback;
    const bool launchable =
        !installed.activeVersion.isEmpty() && !installed.activeExecutable.isEmpty();
    if (installed.updatesHeld && launchable && !required) {
        decision.action = ClientAction::HeldBack;
        decision.executable = installed.activeExecutable;
        return decision;
    }
    if (installed.latestExecutable.isEmpty()) {
        const bool held = !standing.in() && launchable && !required;
        decision.action = held ? ClientAction::HeldBack : ClientAction::Install;
        if (held)
            decision.executable = installed.activeExecutable;
        return decision;
    }
    // An earlier install whose state save failed left the latest version unpacked.
    decision.action = ClientAction::Adopt;
    decision.executable = installed.latestExecutable;
    return decision;
}
