#!/usr/bin/env python3
"""Kills installer runs at random instants and checks that the next
ordinary run leaves nothing of them behind.

  tools/kill-campaign.py [--kills N] [--round N] [--seed N] [--archive-mb N]
      [--parallel SHARE] [--scanner SHARE] [--build-dir DIR]
      [--installer EXE --stand-in EXE --hold-file EXE] [--pack-dir DIR]

It builds installer.exe, the stand-in setup program and hold_file.exe in
its build directory (default build/kill-campaign), or takes the three
given; packs the installer with tools/pack-installer.sh around a 7z
archive of random data (--archive-mb, default 4) and the stand-in; and
makes a fresh Wine prefix there, with HOME and temporary files beside it
and the update client's ClientState key holding "ap" = "x64-stable".
Nothing outside the build directory is touched.

The installer runs from C:\\campaign, and the stand-in behaves as an
ordinary setup program does (STAND_IN_REALISTIC=1): it works in its own
folder, starts a tool there, leaves a log and a folder beside itself and
a straggler that outlives it by 300 ms. Ordinary runs first measure how
long a run takes; every killed run is then started there and sent
SIGKILL at an instant drawn uniformly over that length (the median of the
latest ordinary runs). A killed run's setup program, and what it starts,
may outlive it and end by themselves; the campaign waits until every
process of the killed run is gone before it goes on. After each --round
kills (default 4) comes one ordinary run, and the invariants are checked:
  - it exits 0 with the success record ("ap" + "-full", a REG_DWORD
    "InstallerExtraCode1" = 0x3000N, no "InstallerResult"), and the update
    client's key holds nothing else;
  - nothing any killed run left is still there, except a folder holding a
    file that a scanner running throughout that run holds (and beside it
    the run's marker);
  - no installer, setup program or scanner is left running;
and after every kill:
  - no setup program is left in its start: one that has not loaded
    kernel32.dll 3 s after the kill is (Wine leaves it there for good,
    Windows suspended), and is ended;
  - no process of the killed run still runs 120 s after the kill (it is
    ended).

--parallel SHARE starts an ordinary run beside that share of the killed
runs, at an instant drawn over the same length: it must succeed, whatever
the killed run is doing. --scanner SHARE lets a scanner (hold_file.exe)
hold one file of that share of the killed runs' folders, for a time drawn
over twice a round's length. At the end the campaign waits for every
scanner, makes one more ordinary run, and then nothing may be left at all.

It prints a table: the kills by the stage they hit, judged from what each
killed run left, with when they struck and how many of their folders were
still there after the next ordinary run; then every broken invariant. It
exits 1 when any invariant was broken, or when no killed run left anything
(the campaign then proved nothing). The seed is printed; --seed draws the
same instants again, as shares of the run's length (what they hit still
depends on the machine's pace).
"""
import argparse
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import time

# Nothing is written beside the sources, not even compiled modules.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kill_campaign import judge  # noqa: E402
from kill_campaign.wine import Wine, become_subreaper  # noqa: E402

PROJECT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALLER = "KorvenSetup.exe"
FOLDER = "C:\\campaign"
TOOLS = "C:\\campaign-tools"
STATE_KEY = ("HKCU\\Software\\Quenby\\Update\\ClientState\\"
             "{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}")
AP = "x64-stable"
RUN_TIMEOUT = 120
# How long the server may take to close a killed process's handles (and so
# to carry out the deletions that were pending on them) before the campaign
# looks at what the run left.
SETTLE = 0.1
# The names of a run's processes: the installer, the setup program, and
# either before Wine has named it after its program.
RUN_NAMES = {INSTALLER, "setup.exe", "wine64-preloade"}
# A setup program that has not loaded kernel32.dll this long after its
# installer's kill is taken to be left waiting in its start.
STARTED_WITHIN = 3
# Every installer run: the stand-in does what ordinary setup programs do.
REALISTIC = {"STAND_IN_REALISTIC": "1"}
# Ordinary runs whose median is the length the kills are drawn over.
RECENT_RUNS = 9


def parse_args():
    parser = argparse.ArgumentParser(
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kills", type=int, default=100)
    parser.add_argument("--round", type=int, default=4,
                        help="kills between two ordinary runs (1-8)")
    parser.add_argument("--seed", type=int)
    parser.add_argument("--archive-mb", type=int, default=4)
    parser.add_argument("--parallel", type=float, default=0.0)
    parser.add_argument("--scanner", type=float, default=0.0)
    parser.add_argument("--build-dir",
                        default=os.path.join(PROJECT, "build/kill-campaign"))
    parser.add_argument("--installer")
    parser.add_argument("--stand-in")
    parser.add_argument("--hold-file")
    parser.add_argument("--pack-dir")
    args = parser.parse_args()
    # A run reclaims at most 16 folders: a round's kills and the folders
    # held from the round before must fit.
    if not 1 <= args.round <= 8 or args.kills < 1 or args.archive_mb < 1 \
            or not 0 <= args.parallel <= 1 or not 0 <= args.scanner <= 1:
        parser.error("--kills and --archive-mb take 1 or more, --round 1 to "
                     "8, --parallel and --scanner a share from 0 to 1")
    given = [args.installer, args.stand_in, args.hold_file]
    if any(given) and not all(given):
        parser.error("--installer, --stand-in and --hold-file go together")
    args.build_dir = os.path.abspath(args.build_dir)
    args.pack_dir = os.path.abspath(args.pack_dir or
                                    os.path.join(args.build_dir, "pack"))
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "little")
    return args


def say(text):
    print("[kill-campaign] " + text, file=sys.stderr, flush=True)


def quiet(command, **kwargs):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **kwargs)


def prepare(args):
    """The packed installer, the stand-in and hold_file.exe, and the size of
    the archive inside."""
    quiet([os.path.join(PROJECT, "tools/install-deps.sh")])
    stub, stand_in, hold_file = args.installer, args.stand_in, args.hold_file
    if stub is None:
        tree = os.path.join(args.build_dir, "project")
        say("building installer.exe, the stand-in and hold_file.exe in "
            + tree)
        quiet(["cmake", "-S", PROJECT, "-B", tree, "--toolchain",
               os.path.join(PROJECT, "cmake/mingw-w64-x86_64.cmake"),
               "-DCMAKE_BUILD_TYPE=Release"])
        quiet(["cmake", "--build", tree, "--target", "installer",
               "setup_stand_in", "hold_file", "-j2"])
        stub = os.path.join(tree, "installer/installer.exe")
        stand_in = os.path.join(tree,
                                "tests/setup_stand_in/setup_stand_in.exe")
        hold_file = os.path.join(tree, "tests/hold_file.exe")
    payload = os.path.join(args.build_dir, "payload")
    os.makedirs(payload, exist_ok=True)
    archive = os.path.join(payload, "random-%dmb.7z" % args.archive_mb)
    if not os.path.exists(archive):
        say("making a 7z archive of %d MB of random data" % args.archive_mb)
        data = os.path.join(payload, "product.bin")
        with open(data, "wb") as f:
            for _ in range(args.archive_mb):
                f.write(os.urandom(1000000))
        quiet([shutil.which("7zz") or shutil.which("7z"), "a", "-mx0", "-bd", "-bso0", archive + ".partial",
               "product.bin"], cwd=payload)
        os.rename(archive + ".partial", archive)
        os.remove(data)
    packed = os.path.join(payload, INSTALLER)
    quiet([os.path.join(PROJECT, "tools/pack-installer.sh"), "--stub", stub,
           "--archive", archive, "--setup", stand_in, "--output", packed,
           "--build-dir", args.pack_dir])
    return packed, hold_file, os.path.getsize(archive)


class Campaign:
    def __init__(self, args, wine, archive_bytes):
        self.args = args
        self.wine = wine
        self.rng = random.Random(args.seed)
        self.archive_bytes = archive_bytes
        self.folder = wine.unix_path(FOLDER)
        self.tools = wine.unix_path(TOOLS)
        self.lengths = []
        self.kills = []
        self.faults = []
        # Scanners holding a file a killed run left: {"process", "dir",
        # "name"}
        self.holders = []
        self.faulted_dirs = set()
        self.companions = 0
        self.scanned = 0
        self.stuck = 0
        self.log = open(os.path.join(args.build_dir, "kill-campaign.log"),
                        "w")
        print("kill\tround\tat_ms\tlength_ms\tstage\tfolder\tentries\t"
              "companion\tscanner", file=self.log)

    # ---- what is on disk
    def work_dirs(self):
        return {e.name for e in os.scandir(self.folder)
                if judge.WORK_DIRECTORY.match(e.name) and
                e.is_dir(follow_symlinks=False)}

    def entries(self, name):
        try:
            return {e.name: e.stat(follow_symlinks=False).st_size
                    for e in os.scandir(os.path.join(self.folder, name))}
        except FileNotFoundError:
            return None

    def fault(self, text):
        self.faults.append(text)
        say("BROKEN: " + text)

    def length(self):
        return statistics.median(self.lengths[-RECENT_RUNS:])

    # ---- runs
    def start(self, extra_env=None):
        return self.wine.start([INSTALLER], cwd=self.folder,
                               extra_env=dict(REALISTIC, **(extra_env or {})))

    def finish(self, process, what):
        # Polled every millisecond: wait(timeout) polls ever more slowly, up
        # to 50 ms, which would lengthen the runs the kills are drawn over.
        deadline = time.monotonic() + RUN_TIMEOUT
        while process.poll() is None:
            if time.monotonic() > deadline:
                self.fault("%s did not end within %d s" % (what, RUN_TIMEOUT))
                self.wine.kill(process.pid)
                return process.wait()
            time.sleep(0.001)
        return process.returncode

    def ordinary_run(self, what):
        started = time.monotonic()
        code = self.finish(self.start(), what)
        self.lengths.append(time.monotonic() - started)
        if code != 0:
            self.fault("%s exited %d" % (what, code))
        return code

    def companion_dir(self, report):
        """The work directory the companion's setup program ran in."""
        try:
            with open(report, encoding="utf-8") as f:
                for line in f:
                    if line.startswith("exe="):
                        return line.strip().split("\\")[-2]
        except FileNotFoundError:
            pass
        return None

    def kill_one(self, number, round_number):
        # Every draw is made whatever the kill meets, so that a seed gives
        # the same draws again, each instant as a share of the run's length.
        (at, with_companion, companion_at, scan, scanned_file,
         hold) = (self.rng.random() for _ in range(6))
        length = self.length()
        at *= length
        companion_at = (companion_at * length
                        if with_companion < self.args.parallel else None)
        before = self.work_dirs()
        report = os.path.join(self.tools, "companion.txt")
        companion = None

        started = time.monotonic()
        victim = self.start()
        killed = False
        for event in sorted(e for e in ((at, "kill"), (companion_at, "start"))
                            if e[0] is not None):
            time.sleep(max(0.0, started + event[0] - time.monotonic()))
            if event[1] == "start":
                if os.path.exists(report):
                    os.remove(report)
                companion = self.start(
                    {"STAND_IN_REPORT": TOOLS + "\\companion.txt"})
            elif victim.poll() is None:
                os.kill(victim.pid, signal.SIGKILL)
                killed = True
        code = victim.wait()
        if not killed and code != 0:
            self.fault("kill %d: the run ended before its kill with %d"
                       % (number, code))
        time.sleep(SETTLE)
        left = {d: self.entries(d) for d in self.work_dirs() - before}

        if companion is not None:
            self.companions += 1
            what = "the run beside kill %d" % number
            if self.finish(companion, what) != 0:
                # What its setup program reported, kept for the reader.
                kept = os.path.join(self.tools, "companion-%d.txt" % number)
                if os.path.exists(report):
                    shutil.copyfile(report, kept)
                self.fault("%s exited %d (its setup program's report: %s)"
                           % (what, companion.returncode, kept))
            left.pop(self.companion_dir(report), None)
        if len(left) > 1:
            self.fault("kill %d: more than one new folder: %s"
                       % (number, ", ".join(sorted(left))))
        name, entries = (sorted(left.items())[0] if left else (None, None))
        self.wait_for_its_processes(number)
        stage = judge.FINISHED if not killed else \
            judge.stage_of(entries, self.archive_bytes)
        scanned = (self.start_scanner(name, entries, scanned_file, hold)
                   if scan < self.args.scanner and entries else None)
        kill = {"stage": stage, "at_ms": at * 1000, "dir": name,
                "round": round_number, "left": False, "held": False}
        self.kills.append(kill)
        print("\t".join(str(v) for v in (
            number, round_number, "%.1f" % (at * 1000),
            "%.0f" % (length * 1000), stage, name or "-",
            ",".join("%s:%d" % e for e in sorted((entries or {}).items()))
            or "-", "%.1f" % (companion_at * 1000) if companion else "-",
            scanned or "-")), file=self.log, flush=True)
        return kill

    def live_holders(self):
        return [h for h in self.holders if h["process"].poll() is None]

    def wait_for_its_processes(self, number):
        """Waits until every process of the killed run is gone: its setup
        program and what that started end by themselves. Under Wine, a kill
        that strikes while the installer is starting the setup program can
        leave it waiting in its start, with only ntdll and its own image
        mapped (seen still waiting two minutes later; on Windows such a
        child would stay suspended), holding its image for good: a fault,
        ended here so that the next ordinary run shows what else is left.
        Any process still running after RUN_TIMEOUT is a fault too."""
        keep = {h["process"].pid for h in self.holders}
        stray = self.wine.wait_gone(RUN_NAMES, STARTED_WITHIN, keep=keep)
        for pid in list(stray):
            if not self.wine.has_begun(pid):
                self.stuck += 1
                self.fault("kill %d: its %s (pid %d) was left in its start"
                           % (number, stray.pop(pid), pid))
                self.wine.kill(pid)
        if stray:
            stray = self.wine.wait_gone(RUN_NAMES, RUN_TIMEOUT, keep=keep)
        for pid, name in stray.items():
            self.fault("kill %d: %s (pid %d) still running %d s after it"
                       % (number, name, pid, RUN_TIMEOUT))
            self.wine.kill(pid)
        if self.wine.wait_gone(RUN_NAMES, 10, keep=keep):
            raise SystemExit("kill-campaign: a process of the killed run "
                             "outlived SIGKILL")

    def start_scanner(self, folder, entries, which, hold):
        """Has hold_file.exe hold one of the folder's files (which and hold
        are draws from 0 to 1) for up to twice a round's length; the name
        held, or None when it could not open it."""
        names = sorted(entries)
        name = names[int(which * len(names))]
        hold_ms = int(hold * 2 * self.args.round * self.length() * 1000)
        process = self.wine.start(
            [TOOLS + "\\hold_file.exe", "%s\\%s\\%s" % (FOLDER, folder, name),
             str(hold_ms)], cwd=self.tools)
        marker = os.path.join(self.folder, folder, name + ".held")
        deadline = time.monotonic() + 30
        while not os.path.exists(marker) and process.poll() is None and \
                time.monotonic() < deadline:
            time.sleep(0.01)
        if not os.path.exists(marker):
            self.wine.kill(process.pid)
            process.wait()
            return None
        self.holders.append({"process": process, "dir": folder, "name": name})
        self.scanned += 1
        return name

    # ---- the checks after an ordinary run
    def check_after(self, what, kills, strict):
        """The invariants after an ordinary run; kills are those it is the
        next run of. Unless strict, a folder may stay with the file a
        scanner held throughout the run."""
        held = {}
        if not strict:
            for holder in self.live_holders():
                held.setdefault(holder["dir"], set()).add(holder["name"])
        self.ordinary_run(what)
        remaining = self.work_dirs()
        for kill in kills:
            kill["left"] = kill["dir"] in remaining
            kill["held"] = kill["dir"] in held
        for name in sorted(remaining - self.faulted_dirs):
            for text in judge.leftover_faults(self.entries(name) or {},
                                              held.get(name, ())):
                self.faulted_dirs.add(name)
                self.fault("after %s: %s %s" % (what, name, text))
        text = self.wine.reg_export(
            STATE_KEY, os.path.join(self.tools, "client-state.reg"))
        values = judge.parse_reg_export(text) if text is not None else {}
        for text in judge.registry_faults(values, AP):
            self.fault("after %s: %s" % (what, text))
        live = {h["process"].pid for h in self.live_holders()}
        stray = self.wine.wait_gone(RUN_NAMES | {"hold_file.exe"}, 5,
                                    keep=live)
        for pid, name in stray.items():
            self.fault("after %s: %s (pid %d) left running" % (what, name, pid))
            self.wine.kill(pid)
        self.holders = self.live_holders()
        if self.wine.wait_gone(RUN_NAMES, 10):
            raise SystemExit("kill-campaign: a setup program outlived SIGKILL")
        return remaining

    def run(self):
        say("measuring an ordinary run (one to warm up, then five)")
        self.ordinary_run("the warm-up run")
        self.lengths.clear()
        for i in range(5):
            self.ordinary_run("measuring run %d" % (i + 1))
        first_length = self.length()
        say("an ordinary run takes %.0f ms (median of 5, %.0f-%.0f); kills "
            "strike uniformly over that" % (
                first_length * 1000, min(self.lengths) * 1000,
                max(self.lengths) * 1000))
        rounds = (self.args.kills + self.args.round - 1) // self.args.round
        number = 0
        for round_number in range(1, rounds + 1):
            kills = []
            for _ in range(min(self.args.round, self.args.kills - number)):
                number += 1
                kills.append(self.kill_one(number, round_number))
            remaining = self.check_after("the run after round %d"
                                         % round_number, kills, strict=False)
            say("round %d/%d: %s; folders left: %d" % (
                round_number, rounds,
                ", ".join(k["stage"] for k in kills), len(remaining)))
        for holder in self.holders:
            holder["process"].wait()
        remaining = self.check_after("the last run", [], strict=True)
        return first_length, remaining


def main():
    args = parse_args()
    os.makedirs(args.build_dir, exist_ok=True)
    packed, hold_file, archive_bytes = prepare(args)
    become_subreaper()
    wine = Wine(PROJECT, os.path.join(args.build_dir, "wineprefix"))
    say("making a fresh Wine prefix in " + wine.prefix)
    wine.create_prefix()
    try:
        if wine.call("reg", "add", STATE_KEY, "/v", "ap", "/t", "REG_SZ",
                     "/d", AP, "/f", "/reg:32") != 0:
            raise SystemExit("kill-campaign: the ClientState key could not "
                             "be made")
        campaign = Campaign(args, wine, archive_bytes)
        os.makedirs(campaign.folder)
        os.makedirs(campaign.tools)
        subprocess.run(["cp", packed, os.path.join(campaign.folder,
                                                   INSTALLER)], check=True)
        subprocess.run(["cp", hold_file, campaign.tools], check=True)
        say("seed %d: %d kills, %d a round, archive %d bytes" % (
            args.seed, args.kills, args.round, archive_bytes))
        first_length, remaining = campaign.run()
    finally:
        wine.stop()

    kills = campaign.kills
    print()
    print("Kill campaign: %d kills in rounds of %d, seed %d; archive %s "
          "bytes; an ordinary run %.0f ms at the start, %.0f ms at the end"
          % (len(kills), args.round, args.seed, format(archive_bytes, ","),
             first_length * 1000, campaign.length() * 1000))
    if args.parallel or args.scanner:
        print("runs beside a killed run: %d; files held by a scanner: %d"
              % (campaign.companions, campaign.scanned))
    print("setup programs left in their start (their installer was killed "
          "while starting them; each a broken invariant, ended): %d"
          % campaign.stuck)
    print()
    print(judge.table(kills))
    print()
    print("left at the end: %s" % (", ".join(sorted(remaining)) or "nothing"))
    print("invariants broken: %d" % len(campaign.faults))
    for text in campaign.faults[:20]:
        print("  " + text)
    if len(campaign.faults) > 20:
        print("  ... (%d more)" % (len(campaign.faults) - 20))
    print("(each kill: %s)" % campaign.log.name)
    if all(k["stage"] in (judge.NOTHING, judge.FINISHED) for k in kills):
        print("no killed run left anything: the campaign proved nothing")
        return 1
    return 1 if campaign.faults else 0


if __name__ == "__main__":
    sys.exit(main())
