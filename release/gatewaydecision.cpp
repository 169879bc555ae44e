#include "release/gatewaydecision.h"

#include "release/version.h"

GatewayDecision decideGatewayUpdate(const GatewayRelease &release, const QString &buildVersion,
                                    const QString &buildEdition, const ReleaseBinding &binding,
                                    const RolloutStanding &standing)
{
    GatewayDecision decision;
    const QString edition = buildEdition.trimmed().toLower();
    if (release.edition.trimmed().toLower() != edition) {
        decision.message =
            QStringLiteral("Gateway manifest edition '%1' does not match this Gateway build '%2'.")
                .arg(release.edition, edition);
        return decision;
    }
    if (!binding.gatewayProduct.isEmpty() && release.product != binding.gatewayProduct) {
        decision.message =
            QStringLiteral("Gateway manifest product '%1' does not match this Gateway build '%2'.")
                .arg(release.product, binding.gatewayProduct);
        return decision;
    }
    decision.message = checkReleaseChannel(release.channel, binding);
    if (!decision.message.isEmpty())
        return decision;
    const ReleaseVersion current = parseReleaseVersion(buildVersion);
    const ReleaseVersion latest = parseReleaseVersion(release.latestVersion);
    const ReleaseVersion minimum = parseReleaseVersion(release.minimumVersion);
    if (!isValid(latest) || !isValid(minimum)) {
        decision.message = QStringLiteral("Gateway manifest contains invalid version data.");
        return decision;
    }
    if (!isAtLeast(latest, minimum)) {
        decision.message =
            QStringLiteral("Gateway manifest latest version is below minimum version.");
        return decision;
    }
    decision.versions = QStringLiteral("build %1, latest %2, minimum %3")
                            .arg(buildVersion, release.latestVersion, release.minimumVersion);
    if (isAtLeast(current, minimum) && isAtLeast(current, latest))
        decision.action = GatewayAction::Current;
    else if (!standing.in() && isAtLeast(current, minimum))
        decision.action = GatewayAction::HeldBack;
    else
        decision.action = GatewayAction::SelfUpdate;
    return decision;
}

SelfUpdateRoute selfUpdateRoute(const GatewayRelease &release, const QString &buildVersion,
                                const QString &platform, bool perUserInstall,
                                const QStringList &failedVersions)
{
    if (platform.isEmpty() || !release.packages.contains(platform))
        return SelfUpdateRoute::Installer;
    if (!perUserInstall)
        return isAtLeast(parseReleaseVersion(buildVersion),
                         parseReleaseVersion(release.minimumVersion))
                   ? SelfUpdateRoute::CannotReplace
                   : SelfUpdateRoute::TooOld;
    return failedVersions.contains(release.latestVersion) ? SelfUpdateRoute::FailedBefore
                                                          : SelfUpdateRoute::Package;
}
