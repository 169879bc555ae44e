#pragma once

#include "release/binding.h"
#include "release/clientrelease.h"

#include <QString>

// What the disk holds for a client release, as the pass found it.
struct InstalledClient
{
    QString activeVersion;    // recorded as active; empty when none
    QString activeExecutable; // the launch file inside the active version; empty when unusable
    QString latestExecutable; // the launch file inside the latest version's folder; empty when none
    bool updatesHeld = false; // the player rolled back: optional updates wait
};

// What a pass does with an accepted client manifest.
enum class ClientAction {
    Refuse,   // the manifest does not fit this build or itself
    Ready,    // the active version is the latest: launch it
    Adopt,    // the latest version is already unpacked: make it active
    Install,  // download and install the latest version
    HeldBack, // the staged rollout has not reached this install: launch the active version
};

struct ClientDecision
{
    ClientAction action = ClientAction::Refuse;
    QString message;    // Refuse: the window's message
    QString executable; // Ready, Adopt and HeldBack: the launch file
};

// The product must be this build's, so must the channel when bound, both
// versions x.y.z with latest at least minimum. Versions are matched as text:
// version folders are named by them. A staged rollout that has not reached
// this install holds the update back, but never a first install, an install
// with nothing to launch, one below the minimum version (the update is
// required) or a latest version already unpacked. A player's rollback holds
// back every update that is not required, unpacked or not.
ClientDecision decideClientUpdate(const ClientRelease &release, const QString &productId,
                                  const InstalledClient &installed,
                                  const ReleaseBinding &binding = ReleaseBinding(),
                                  const RolloutStanding &standing = RolloutStanding());
