#!/usr/bin/env python3
"""A launcher installed per user updates itself against the local release
service: two real builds of one tree (2026.1024.1 and 2026.1030.0), and
packages whose launcher exits at once or never reports. Judged by what an
operator sees: the "current" link, the state file, the log, nginx's access
log and the exit codes. Each case is a row of CASES; the crash case kills the
old launcher at spread-out moments of its update.

Usage: selfupdate.py BUILD_DIR [CRASH_RUNS]   (under xvfb-run -s "... -noreset", as root)
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUILD = os.path.realpath(sys.argv[1])
CRASH_RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 12
PROJECT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVICE = os.path.join(PROJECT, "scripts", "release-service.sh")
OLD, NEW, EXITS, SILENT = "2026.1024.1", "2026.1030.0", "2026.1031.0", "2026.1032.0"
LIAR, DEAD = "2026.1033.0", "2026.1034.0"
ACCESS = os.path.join(PROJECT, ".run", "release-service", "access.log")


def wait_for(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return False


class Home:
    def __init__(self, work, name):
        self.path = os.path.join(work, "home-" + name)
        os.makedirs(self.path)
        self.env = dict(os.environ, HOME=self.path,
                        XDG_DATA_HOME=os.path.join(self.path, ".local", "share"))
        self.data = os.path.join(self.env["XDG_DATA_HOME"], "Ivra Engine")
        self.root = os.path.join(self.data, "gateway")

    def install(self, build=BUILD):
        subprocess.run([os.path.join(build, "ivra-update"), "--install-launcher"], env=self.env,
                       check=True, stdout=subprocess.DEVNULL)

    def current(self):
        try:
            return os.readlink(os.path.join(self.root, "current"))
        except OSError:
            return None

    def log(self):
        logs = os.path.join(self.env["XDG_DATA_HOME"], "IVRA Labs", "IvraLauncher", "logs")
        try:
            return "".join(open(os.path.join(logs, n)).read() for n in os.listdir(logs))
        except OSError:
            return ""

    def state(self):
        try:
            with open(os.path.join(self.data, "gateway-state.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def failed(self):
        return self.state().get("launcher", {}).get("failedVersions", [])

    def client_ready(self):
        return os.path.exists(os.path.join(self.data, "clients", "ivra-demo", "1.0.0", "bin",
                                           "ivra-demo-client"))

    def gui(self, program=None):
        program = program or os.path.join(self.path, ".local", "bin", "ivra-gateway")
        return subprocess.Popen([program], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def update(self, *args):
        program = os.path.join(self.root, "current", "ivra-update")
        done = subprocess.run([program, *args], env=dict(self.env, DISPLAY=""),
                              capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr


def launchers_of(home):
    """Every launcher process running on a home's data, by pid."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            environ = open("/proc/%s/environ" % pid, "rb").read().split(b"\0")
            exe = os.readlink("/proc/%s/exe" % pid)
        except OSError:
            continue
        if ("HOME=" + home.path).encode() in environ and "IvraLauncher" in exe:
            found.append(int(pid))
    return found


def stop_all(home):
    for pid in launchers_of(home):
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    wait_for(lambda: not launchers_of(home), 10)


def publish(work, tree, version, folder, minimum="2026.1024.0"):
    env = dict(os.environ, IVRA_DEMO_ALLOW_DOWNGRADE="1", IVRA_DEMO_LAUNCHER_FOLDER=folder,
               IVRA_DEMO_GATEWAY_MINIMUM=minimum)
    subprocess.run([os.path.join(PROJECT, "scripts", "publish-demo.sh"), BUILD, tree, "1.0.0",
                    version], env=env, check=True, stdout=subprocess.DEVNULL)


def broken_build(work, name, script, version=None):
    """Two scripts that do script; with version, ivra-update --version says
    it is that version, as a build that passes the launcher's check would."""
    folder = os.path.join(work, name)
    os.makedirs(folder)
    for program in ("IvraLauncher", "ivra-update"):
        path = os.path.join(folder, program)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n")
            if version and program == "ivra-update":
                f.write('[ "$1" = --version ] && { echo "ivra-update %s (demo edition)"; exit 0; }\n'
                        % version)
            f.write(script + "\n")
        os.chmod(path, 0o755)
    return folder


def publish_unchecked(tree, version, folder):
    """A package the release tool refuses, served all the same."""
    subprocess.run([os.path.join(PROJECT, "tests", "e2e", "serve-unchecked-launcher.py"), tree,
                    version, folder], check=True)


def access_lines():
    with open(ACCESS) as f:
        return f.readlines()


def main():
    if os.geteuid() != 0:
        print("SKIP: the release service needs root")
        return 77
    work = tempfile.mkdtemp(prefix="ivra-selfupdate.")
    tree = os.path.join(work, "tree")
    next_build = os.path.join(BUILD, "next")
    exits = broken_build(work, "exits", "exit 1", EXITS)
    silent = broken_build(work, "silent", "sleep 600 & exec sleep 600", SILENT)
    dead = broken_build(work, "dead", "exit 1")
    failures = []
    passes = 0

    def check(condition, what):
        if not condition:
            failures.append("%s: %s" % (case, what))
        return condition

    try:
        publish(work, tree, NEW, next_build)
        subprocess.run([SERVICE, "start", tree], check=True, stdout=subprocess.DEVNULL)
        cases = ["switch", "exits", "silent", "another version", "rollback by hand", "offline",
                 "read-only", "headless", "headless rolled back", "crash"]
        for case in cases:
            before = len(failures)
            home = Home(work, case.replace(" ", "-"))
            if case not in ("read-only",):
                home.install()
            if case == "switch":
                home.gui()
                check(wait_for(lambda: home.current() == NEW and home.client_ready(), 30),
                      "not switched: current %s" % home.current())
                log = home.log()
                check("Launcher %s started after an update and is healthy." % NEW in log,
                      "the new build never reported")
                check("Gateway is current: build %s" % NEW in log, "the new build ran no pass")
                # The old one exits once it has switched.
                check(wait_for(lambda: len(launchers_of(home)) == 1, 10),
                      "processes: %s" % launchers_of(home))
                check(sorted(os.listdir(home.root)) == [OLD, NEW, "current"],
                      "folders: %s" % os.listdir(home.root))
                stop_all(home)
                # The next start through the command is the new build, with nothing to do.
                home.gui()
                check(wait_for(lambda: home.log().count("Gateway is current: build %s" % NEW) == 2,
                               20), "second start")
                stop_all(home)
                # Three starts in a row that never reached healthy: the next goes back.
                state = home.state()
                state["launcher"] = {"startsWithoutHealth": {"version": NEW, "count": 3}}
                with open(os.path.join(home.data, "gateway-state.json"), "w") as f:
                    json.dump(state, f)
                home.gui()
                check(wait_for(lambda: "did not start 3 times in a row; going back to %s." % OLD
                               in home.log() and home.current() == OLD, 20),
                      "no rollback after three failed starts: current %s" % home.current())
                check(NEW in home.failed(), "failed %s" % home.failed())
                check(wait_for(lambda: "The launcher %s did not start here before" % NEW
                               in home.log(), 20), "the previous build ran no pass")
                stop_all(home)
            elif case in ("exits", "silent", "another version"):
                version, folder = {"exits": (EXITS, exits), "silent": (SILENT, silent),
                                   "another version": (LIAR, next_build)}[case]
                publish_unchecked(tree, version, folder)
                started = time.monotonic()
                home.gui()
                if case == "silent":
                    # A second start while the new build hangs comes to the waiting launcher.
                    check(wait_for(lambda: "waiting for it to report" in home.log(), 30),
                          "the new build was not started")
                    time.sleep(0.5)
                    subprocess.run(["import", "-window", "root",
                                    os.path.join(BUILD, "launcher-update-waiting.png")])
                    second = home.gui()
                    try:
                        second.wait(20)
                    except subprocess.TimeoutExpired:
                        second.kill()
                    check("Another start on this data folder: coming to the front." in home.log(),
                          "the second start ran on its own: %s" % home.log()[-600:])
                message = "The launcher update to %s did not start; staying on %s." % (version, OLD)
                check(wait_for(lambda: message in home.log() and home.client_ready(), 60),
                      "no rollback: %s" % home.log()[-600:])
                took = time.monotonic() - started
                check(home.current() == OLD and version in home.failed(),
                      "current %s, failed %s" % (home.current(), home.failed()))
                check(not os.path.exists(os.path.join(home.root, version)), "failed folder kept")
                stop_all(home)
                # Never tried again.
                lines = len(access_lines())
                home.gui()
                check(wait_for(lambda: "did not start here before" in home.log(), 20),
                      "tried again: failed %s, processes %s, log: %s"
                      % (home.failed(), launchers_of(home), home.log()[-1500:]))
                stop_all(home)
                check(not any("/releases/gateway/demo/" in line
                              for line in access_lines()[lines:]), "package fetched again")
                # Whatever the failed build started is gone with it.
                check(not subprocess.run(["pgrep", "-f", "sleep 600"]).returncode == 0,
                      "the failed build's processes still run")
                print("  %s: rolled back in %.1f s" % (case, took))
                publish(work, tree, NEW, next_build)
            elif case == "rollback by hand":
                publish(work, tree, NEW, next_build)
                code, out = home.update()
                check(code == 0 and home.current() == NEW, "update: %d %s" % (code, out))
                code, out = home.update("--launcher-rollback")
                check(code == 0 and home.current() == OLD and NEW in home.failed(),
                      "rollback: %d %s, current %s" % (code, out, home.current()))
                undo = os.path.join(home.root, NEW, "ivra-update")
                check('To undo this, install %s again: "%s" --install-launcher' % (NEW, undo)
                      in out, "no way back said: %s" % out)
                code, out = home.update()
                check(code == 0 and home.current() == OLD, "after rollback: %d %s" % (code, out))
                # The undo it names; then an older build is not installed over it unasked.
                done = subprocess.run([undo, "--install-launcher"], env=home.env,
                                      capture_output=True, text=True)
                check(done.returncode == 0 and home.current() == NEW and NEW not in home.failed(),
                      "undo: %s, current %s" % (done.stdout + done.stderr, home.current()))
                done = subprocess.run([os.path.join(BUILD, "ivra-update"), "--install-launcher"],
                                      env=home.env, capture_output=True, text=True)
                check(done.returncode == 1 and home.current() == NEW and
                      "give --allow-downgrade to go back to %s" % OLD in done.stderr,
                      "downgrade: %s, current %s" % (done.stderr, home.current()))
                subprocess.run([os.path.join(BUILD, "ivra-update"), "--install-launcher",
                                "--allow-downgrade"], env=home.env, check=True,
                               stdout=subprocess.DEVNULL)
                check(home.current() == OLD, "--allow-downgrade: current %s" % home.current())
            elif case == "offline":
                # Starts that end because the service is out of reach are not the build's fault.
                code, out = home.update()
                check(code == 0 and home.current() == NEW, "update: %d %s" % (code, out))
                subprocess.run([SERVICE, "stop"], check=True, stdout=subprocess.DEVNULL)
                for _ in range(4):
                    home.update()
                subprocess.run([SERVICE, "start", tree], check=True, stdout=subprocess.DEVNULL)
                check(home.current() == NEW and not home.failed(),
                      "current %s, failed %s: %s" % (home.current(), home.failed(),
                                                     home.log()[-800:]))
            elif case == "read-only":
                home.gui(os.path.join(BUILD, "IvraLauncher"))
                check(wait_for(home.client_ready, 20), "no client")
                check("A newer launcher (%s) is published; this one cannot replace itself where "
                      "it is installed." % NEW in home.log(), "not logged")
                stop_all(home)
                publish(work, tree, NEW, next_build, minimum=NEW)
                home.gui(os.path.join(BUILD, "IvraLauncher"))
                message = ("Pass ended: This launcher (%s) is below the required %s; update it "
                           "with the system's package manager. (no Retry)" % (OLD, NEW))
                check(wait_for(lambda: message in home.log(), 20), "below the minimum")
                stop_all(home)
                check(not os.path.exists(home.root), "a per-user install appeared")
                publish(work, tree, NEW, next_build)
            elif case == "headless":
                # The new ivra-update's exit code is passed on: here its pass fails.
                manifest = os.path.join(tree, "releases", "manifests", "client-ivra-demo.json")
                os.rename(manifest, manifest + ".away")
                code, out = home.update()
                os.rename(manifest + ".away", manifest)
                check(code == 1 and "Release service returned HTTP 404." in out,
                      "exit %d: %s" % (code, out))
                check(home.current() == NEW, "current %s" % home.current())
                check(home.log().count("IVRA updater started (ivra-update).") == 3,
                      "not one old and one new run")
                code, out = home.update()
                check(code == 0 and home.client_ready(), "second run: %d %s" % (code, out))
            elif case == "headless rolled back":
                for version, folder in ((DEAD, dead), (LIAR, next_build)):
                    publish_unchecked(tree, version, folder)
                    code, out = home.update()
                    check(code == 0 and home.current() == OLD and version in home.failed() and
                          home.client_ready(),
                          "%s: exit %d, current %s: %s" % (version, code, home.current(), out))
                publish(work, tree, NEW, next_build)
            elif case == "crash":
                failures.extend(crash_runs(work, tree, home))
            if len(failures) == before:
                passes += 1
                print("PASS: %s" % case)
            stop_all(home)
    finally:
        subprocess.run([SERVICE, "stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL: " + failure)
    print("%d passed, %d failed" % (passes, len(failures)))
    return 1 if failures else 0


def crash_runs(work, tree, base):
    """Kills the old launcher at spread-out moments of its update (download,
    extraction, promotion, health wait, switch); every restart through the
    command must end switched, with a whole launcher in "current" throughout."""
    problems = []
    # A slower package download, so that the kills spread over every step.
    limit = os.path.join(work, "limit.conf")
    with open(limit, "w") as f:
        f.write("location /releases/gateway/ { limit_rate 40m; }\n")
    subprocess.run([SERVICE, "start", tree], env=dict(os.environ, IVRA_RELEASE_EXTRA_CONF=limit),
                   check=True, stdout=subprocess.DEVNULL)
    shutil.copytree(base.path, base.path + ".pristine", symlinks=True)
    started = time.monotonic()
    base.gui()
    wait_for(lambda: base.current() == NEW, 30)
    whole = time.monotonic() - started
    stop_all(base)
    phases = {}
    for run in range(CRASH_RUNS):
        home = base
        shutil.rmtree(home.path)
        shutil.copytree(home.path + ".pristine", home.path, symlinks=True)
        delay = 1.2 * whole * (run + 0.5) / CRASH_RUNS
        first = home.gui()
        time.sleep(delay)
        first.send_signal(signal.SIGKILL)
        first.wait()
        current = home.current()
        where = "run %d at %.2f s" % (run, delay)
        names = os.listdir(home.root)
        phase = ("switched" if current == NEW else "promoted" if NEW in names else
                 "extracting" if any(n.startswith(".staging") for n in names) else
                 "downloading" if "launcher package" in home.log() or
                 os.path.exists(os.path.join(home.data, "downloads", "gateway")) else "starting")
        phases[phase] = phases.get(phase, 0) + 1
        if current not in (OLD, NEW) or not os.access(
                os.path.join(home.root, current, "IvraLauncher"), os.X_OK):
            problems.append("crash: %s: current %s is not a whole launcher" % (where, current))
        stop_all(home)
        home.gui()
        if not wait_for(lambda: home.current() == NEW and home.client_ready() and
                        len(launchers_of(home)) == 1, 40):
            problems.append("crash: %s: the restart did not switch (current %s)" %
                            (where, home.current()))
        stop_all(home)
        leftovers = [n for n in os.listdir(home.root) if n.startswith((".staging", "current."))]
        if leftovers:
            problems.append("crash: %s: leftovers %s" % (where, leftovers))
    subprocess.run([SERVICE, "start", tree], check=True, stdout=subprocess.DEVNULL)
    print("  crash: %d kills over %.1f s of update: %s" % (CRASH_RUNS, whole, phases))
    return problems


if __name__ == "__main__":
    sys.exit(main())
