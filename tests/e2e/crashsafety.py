#!/usr/bin/env python3
"""Kills the real IvraLauncher (SIGKILL) at spread-out moments of a fresh
install and of an update (a differential one: the release has a file index
and only a few files change), then starts it again each time with the release
service up. Every restart must end ready as a user sees it (the window equal
to a ready window, Launch starting the client), with a state file that
parses, the active version folder complete with every file at its index
digest and its executable and its record, the previous version untouched
(the update links files it reuses: nothing may write into them), and no
".part" file, object cache or staging folder left over.

Usage: crashsafety.py BUILD_DIR [RUNS]   (under xvfb-run, as root)
The X server must run with -noreset: otherwise it resets whenever its last
client goes, as a killed launcher does, and refuses the next one meanwhile.
"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zipfile

BUILD = os.path.realpath(sys.argv[1])
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 40
PROJECT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVICE = os.path.join(PROJECT, "scripts", "release-service.sh")
TITLE = "IVRA ENGINE 2.0 Beta"
PRODUCT = "ivra-demo"
OLD, NEW = "1.0.0", "1.1.0"


def run(*args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, **kwargs).stdout


def wait_for(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return None


class Home:
    """One user's data: XDG_DATA_HOME with the launcher's data root inside."""

    def __init__(self, path):
        self.path = path
        self.data = os.path.join(path, "Ivra Engine")
        self.product = os.path.join(self.data, "clients", PRODUCT)
        self.state = os.path.join(self.data, "gateway-state.json")
        self.downloads = os.path.join(self.data, "downloads", PRODUCT)

    def env(self):
        return dict(os.environ, XDG_DATA_HOME=self.path)

    def log_text(self):
        logs = os.path.join(self.path, "IVRA Labs", "IvraLauncher", "logs")
        try:
            return "".join(open(os.path.join(logs, n)).read() for n in os.listdir(logs))
        except OSError:
            return ""

    def active(self):
        with open(self.state) as f:
            return json.load(f)["clients"][PRODUCT]["activeVersion"]

    def phase(self):
        """Where the pass was, judged from the disk after the kill."""
        try:
            if self.active() == NEW:
                return "saved"
        except (OSError, ValueError, KeyError):
            pass
        if os.path.isdir(os.path.join(self.product, NEW)):
            return "promoted"
        if os.path.isdir(os.path.join(self.product, ".staging-" + NEW)):
            return "extracting"
        package = os.path.join(self.downloads, "%s_%s.zip" % (PRODUCT, NEW))
        if os.path.exists(package):
            return "hashing"
        if os.path.exists(package + ".part"):
            return "downloading"
        return "starting"


class Launcher:
    def __init__(self, home):
        self.home = home
        self.errors = open(os.path.join(home.path + ".stderr"), "ab")
        self.process = subprocess.Popen([os.path.join(BUILD, "IvraLauncher")], env=home.env(),
                                        stdout=subprocess.DEVNULL, stderr=self.errors)

    def window(self):
        try:
            ids = run("xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid),
                      "--name", TITLE).split()
        except subprocess.CalledProcessError:
            return None
        if not ids:
            return None
        geometry = dict(line.split("=") for line in
                        run("xdotool", "getwindowgeometry", "--shell", ids[0]).split())
        return {k: int(geometry[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")}

    def picture(self, window):
        return run("import", "-window", "root", "-crop",
                   "%(WIDTH)dx%(HEIGHT)d+%(X)d+%(Y)d" % window, "+repage", "-depth", "8", "gray:-",
                   encoding="latin-1")

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()


def publish(tree, version, payload_mb):
    env = dict(os.environ, IVRA_DEMO_UPGRADE="0", IVRA_DEMO_PAYLOAD_MB=str(payload_mb))
    run(os.path.join(PROJECT, "scripts", "publish-demo.sh"), BUILD, tree, version, env=env)
    return os.path.join(tree, "releases", "clients", PRODUCT, "%s_%s.zip" % (PRODUCT, version))


def main():
    if os.geteuid() != 0:
        print("SKIP: the release service needs root")
        return 77
    work = tempfile.mkdtemp(prefix="ivra-crash.")
    tree = os.path.join(work, "tree")
    failures = []
    try:
        subprocess.run(["xdotool", "mousemove", "0", "0"], check=False)
        publish(tree, OLD, 48)
        run(SERVICE, "start", tree)

        # An install of the old version, the starting point of every update run.
        base = Home(os.path.join(work, "base"))
        launcher = Launcher(base)
        if not wait_for(lambda: "client zip downloaded" in base.log_text(), 60):
            raise SystemExit("the first install never finished")
        time.sleep(1)
        launcher.stop()
        package = publish(tree, NEW, 48)
        expected = {i.filename: i.file_size for i in zipfile.ZipFile(package).infolist()
                    if not i.is_dir()}
        index = os.path.join(os.path.dirname(package), "%s_%s.files.json" % (PRODUCT, NEW))
        with open(index) as f:
            digests = {e["path"]: e["sha256"] for e in json.load(f)["files"]}
        old_digests = folder_digests(os.path.join(base.product, OLD))

        # One undisturbed run of each kind: how long it takes, and what ready looks like.
        durations, reference = {}, None
        for kind in ("fresh", "update"):
            home = Home(os.path.join(work, "measure-" + kind))
            if kind == "update":
                shutil.copytree(base.path, home.path)
            started = time.monotonic()
            launcher = Launcher(home)
            if not wait_for(lambda: os.path.exists(home.state) and home.active() == NEW, 60):
                raise SystemExit("the %s run never finished" % kind)
            durations[kind] = time.monotonic() - started
            time.sleep(1)
            window = wait_for(launcher.window, 10)
            reference = reference or launcher.picture(window)
            launcher.stop()
        print("undisturbed: fresh %.2f s, update %.2f s" % (durations["fresh"], durations["update"]))

        phases = {}
        resumed = 0
        for run_index in range(RUNS):
            kind = ("fresh", "update")[run_index % 2]
            step = run_index // 2
            # Spread over the whole pass and a little past the save.
            delay = 1.1 * durations[kind] * (step + 0.5) / ((RUNS + 1) // 2)
            home = Home(os.path.join(work, "run-%02d" % run_index))
            if kind == "update":
                shutil.copytree(base.path, home.path)
            launcher = Launcher(home)
            time.sleep(delay)
            launcher.kill()
            phase = home.phase()
            phases[phase] = phases.get(phase, 0) + 1
            problem = restart_and_check(home, reference, expected)
            if not problem and folder_digests(os.path.join(home.product, NEW)) != digests:
                problem = "a file of %s is not at its index digest" % NEW
            if not problem and kind == "update" and \
                    folder_digests(os.path.join(home.product, OLD)) != old_digests:
                problem = "the previous version %s was changed" % OLD
            if "Resuming client zip from byte" in home.log_text():
                resumed += 1
            label = "run %2d: %-6s killed at %.2f s while %s" % (run_index + 1, kind, delay, phase)
            if problem:
                failures.append("%s: %s" % (label, problem))
                print("FAIL " + label + ": " + problem)
            else:
                print("ok   " + label)
            shutil.rmtree(home.path, ignore_errors=True)
            os.remove(home.path + ".stderr")
        print("phases hit: " + ", ".join("%s %d" % item for item in sorted(phases.items())))
        # A kill during a download leaves a part that the restart continues.
        print("restarts that resumed a download: %d" % resumed)
        if phases.get("downloading", 0) and not resumed:
            failures.append("no restart resumed its download")
    finally:
        subprocess.run([SERVICE, "stop"], stdout=subprocess.DEVNULL, check=False)
        shutil.rmtree(work, ignore_errors=True)
    print("%d runs, %d survived, %d failed" % (RUNS, RUNS - len(failures), len(failures)))
    return 1 if failures else 0


def folder_digests(folder):
    digests = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            relative = os.path.relpath(path, folder)
            if relative.endswith(".started.json"):
                continue  # what the started client wrote
            with open(path, "rb") as f:
                digests[relative] = hashlib.sha256(f.read()).hexdigest()
    return digests


def restart_and_check(home, reference, expected):
    launcher = Launcher(home)
    try:
        window = wait_for(launcher.window, 20)
        if not window:
            return "no window after the restart (exit status %s; stderr: %s)" % (
                launcher.process.poll(), open(home.path + ".stderr").read()[-400:])
        if not wait_for(lambda: launcher.picture(window) == reference, 60):
            return "the restart never looked ready"
        try:
            if home.active() != NEW:
                return "state names %s as active" % home.active()
        except (OSError, ValueError, KeyError) as error:
            return "state file unusable: %r" % error
        folder = os.path.join(home.product, NEW)
        for name, size in expected.items():
            path = os.path.join(folder, name)
            if not os.path.isfile(path) or os.path.getsize(path) != size:
                return "install incomplete: %s" % name
        if not os.access(os.path.join(folder, "bin", "ivra-demo-client"), os.X_OK):
            return "client not executable"
        kept = (OLD, NEW, OLD + ".record", NEW + ".record")
        leftovers = [n for n in os.listdir(home.product) if n not in kept]
        try:
            with open(os.path.join(home.product, NEW + ".record")) as f:
                lines = [line.split(" ") for line in f.read().splitlines()]
            recorded = {urllib.parse.unquote(f[7]): (int(f[2]), f[1])
                        for f in lines if f[0] == "file"}
        except (OSError, ValueError, IndexError) as error:
            return "no usable record of %s: %r" % (NEW, error)
        if {p: size for p, (size, _) in recorded.items()} != expected:
            return "the record of %s does not list its files" % NEW
        if os.path.isdir(home.downloads):
            for folder_name, _, names in os.walk(home.downloads):
                leftovers += [n for n in names if ".part" in n]
        if leftovers:
            return "left over: %s" % ", ".join(leftovers)
        # Launch, as a user would: the client starts and the launcher quits.
        subprocess.run(["xdotool", "mousemove", str(window["X"] + 50), str(window["Y"] + 248),
                        "click", "1", "mousemove", "0", "0"], check=False)
        record = os.path.join(folder, "bin", "ivra-demo-client.started.json")
        if not wait_for(lambda: os.path.exists(record), 10):
            return "Launch did not start the client (launcher status %s; stderr: %s)" % (
                launcher.process.poll(), open(home.path + ".stderr").read()[-300:])
        # The client's window would cover the next launcher's.
        subprocess.run(["pkill", "-f", os.path.join(folder, "bin")], check=False)
        if launcher.process.wait(10) != 0:
            return "launcher did not quit cleanly"
        return None
    except subprocess.TimeoutExpired:
        return "launcher did not quit after Launch"
    finally:
        launcher.stop()


if __name__ == "__main__":
    sys.exit(main())
