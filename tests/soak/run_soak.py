#!/usr/bin/env python3
"""Fault-injection soak of the whole update. Each round takes a copy of a
game folder installed from the old release and moves it to the new one:
first one or two runs under faults (the fault server damages connections
as a seeded plan says: resets, cuts, stalls, 503s, and continuations
answered with 200, from another start or with another total; some runs are
killed with SIGKILL at a random moment), or one run on a full disk or in a
read-only folder, or (every eighth round) runs against a server whose copy
of one archive was swapped for another valid zip that its hash line does not
describe; the invariants
are checked after every run (no partial download in Temp longer than its
record's Length among them), and nothing of a swapped archive may ever be
installed; then a clean run must reach the new release exactly, leave
nothing behind and start the client. Prints the counts;
exits 1 when an invariant was violated.

Round r of seed s is reproducible on its own (--seed s --first-round r
--rounds 1), up to the moment of a kill.

Given --emulator (the Windows build's launchers, with --wintool, --holder
and --wineprefix), every run is the Windows build under Wine: the first
faulted run of a round is killed at a random moment, and every third round
holds a data file open in another program while the update replaces it. The
win32 tree's CTest entry qm_soak_wine is a short one; a longer share, after
cmake --build build/win32 --target qm_soak (d=build/win32/tests):

  WINEARCH=win32 PYTHONPATH=tests python3 tests/soak/run_soak.py --emulator /usr/lib/wine/wine \
    --old-launcher $d/soak/old/QuillMar.exe --new-launcher $d/soak/new/QuillMar.exe \
    --old-foo $d/soak/foo-old/Foo.dll --new-foo $d/soak/foo-new/Foo.dll \
    --client $d/e2e/client/_QuillMar_.exe --wintool $d/e2e/tools/qm_e2e_wintool.exe \
    --holder $d/soak/tools/qm_soak_hold.exe --wineprefix $d/soak/wineprefix \
    --port 28731 --work $d/soak/work-long --rounds 60 --minutes 20"""
import argparse
import collections
import contextlib
import fnmatch
import os
import random
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no caches in the source tree

from harness import release, servers  # noqa: E402  (tests/ on PYTHONPATH)
from harness.fault_server import KINDS, Fault, FaultServer  # noqa: E402
from harness.runner import NativeRun, RunTimeout  # noqa: E402

import soak_release  # noqa: E402
from invariants import (PROXY_KEYS, Expectation, file_state,  # noqa: E402
                        parse_installed_copy, tampered_files)
from soak_release import NEW, OLD  # noqa: E402
from tight_disk import TightFolder  # noqa: E402

RUN_SECONDS = 60
ARG = "SOAK"
FAULT_SHARE = 0.25  # of the connections of a faulted run
RANGE_SHARE = 0.4  # of the continuations (requests with Range), which are rare
# Faults of any answer, by the name the report counts them under.
FAULTS = {kind: (lambda k: lambda rng: Fault(k, rng.random(), rng.randrange(1 << 30)))(kind)
          for kind in KINDS if kind != "pass"}
FAULTS.update({
    "503": lambda rng: Fault("status", code=503),
    # A cut well inside the answer: the next attempt continues with Range.
    "cut mid-answer": lambda rng: Fault("cut", rng.uniform(0.2, 0.9)),
})
# Faults of a continuation: nginx's answer to the Range changed.
RANGE_FAULTS = {
    "Range dropped (200)": lambda rng: Fault("pass", drop_range=True),
    "206 from another start": lambda rng: Fault("pass", range_shift=rng.choice((-4096, -1, 1))),
    "206 with another start": lambda rng: Fault("pass", start_shift=rng.choice((-7, 7))),
    "206 with another total": lambda rng: Fault("pass", total_shift=rng.choice((-1, 1000))),
}
KILL_SHARE = 0.3  # of the faulted runs
SPECIAL_SHARE = 0.1  # of the rounds each: a full disk, a read-only folder
HOLD_EVERY = 3  # under Wine: rounds 1, 4, 7... hold a file open
TAMPER_EVERY, TAMPER_AT = 8, 3  # rounds 3, 11, 19...: an archive swapped on the server
MANIFEST = "/QuillMar/QuillMar.ini"
# What Windows leaves of a launcher replaced while it ran.
SET_ASIDE_LAUNCHER = "left behind: QuillMar.exe.qmold-"
# The updater looks for a running client among all processes: as root each
# run gets a process namespace of its own, so that the clients of other test
# runs on the machine are not taken for ours. Its first process waits
# (bounded) for the client that the updater started to end.
IN_NAMESPACE = ('"$0" "$@" & p=$!; wait $p; rc=$?; n=0; '
                'while [ $n -lt 100 ] && pgrep -x _QuillMar_.exe >/dev/null; do '
                'sleep 0.05; n=$((n+1)); done; exit $rc')
ISOLATED = False  # set in main


def can_isolate():
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("pgrep"):
        return False
    probe = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "true"],
                           capture_output=True, timeout=30, check=False)
    return probe.returncode == 0


class Soak:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.counts = collections.Counter()
        self.faults = collections.Counter()
        self.violations = []
        self.launchers = {OLD: args.old_launcher, NEW: args.new_launcher}
        self.items = soak_release.make_items(
            {w: _read(p) for w, p in self.launchers.items()},
            {OLD: _read(args.old_foo), NEW: _read(args.new_foo)})
        self.run_seconds = 1.0  # of a whole update, measured
        self.wine = None  # WineRuns: every run under Wine

    # Set-up: both releases published, the old one installed by the updater.
    def prepare(self):
        started = time.monotonic()
        for which in (OLD, NEW):
            os.makedirs(os.path.join(self.work, f"www-{which}"))
            soak_release.publish(os.path.join(self.work, f"www-{which}"), self.items, which)
        self.sizes = soak_release.archive_sizes(os.path.join(self.work, "www-new"), self.items)
        self.serve(OLD)
        print(f"releases published in {time.monotonic() - started:.1f} s", flush=True)

    def serve(self, which):
        """which: OLD, NEW, or the name of a folder www-<name> below work."""
        link = os.path.join(self.work, "www")
        tmp = link + ".new"
        os.symlink(f"www-{which}", tmp)
        os.replace(tmp, link)

    def install_template(self, proxy):
        self.template = os.path.join(self.work, "template")
        game = release.GameFolder(self.template, self.launchers[OLD], self.args.client)
        game.write_ini([("Proxy", [(k, "") for k in PROXY_KEYS])])
        # The launcher is current already: the rest of its item as installed.
        launcher = next(i for i in self.items if i.name == "Launcher")
        for name, data in launcher.members[OLD].items():
            if name != launcher.versioned_file:
                game.write(name, data)
        proxy.set_planner(pass_all)
        started = time.monotonic()
        run = self.start(self.template)
        self.finish(run)
        self.run_seconds = time.monotonic() - started
        print(f"old release installed in {self.run_seconds:.1f} s", flush=True)
        expectation = Expectation(self.items, {k: "" for k in PROXY_KEYS})
        violations, states = expectation.check_folder(self.template)
        if any(s != OLD for s in states.values()):
            violations.append(f"the old release was not installed: {states}")
        if not self.client_started(self.template):
            violations.append("the client was not started after installing the old release")
        if violations or run.sanitizer_report():
            raise SystemExit("installing the old release failed:\n" + "\n".join(violations) +
                             f"\noutput:\n{run.output()}\nstderr:\n{run.stderr()}")
        with open(os.path.join(self.template, "QuillMar.ini"), "rb") as f:
            self.template_ini = f.read()
        self.serve(NEW)

    # Running the updater.
    def start(self, folder, wrapper=None):
        exe = os.path.join(folder, "QuillMar.exe")
        if self.wine:
            _wait_client_gone()
            return self.wine.start(exe, [ARG], folder)
        if wrapper:
            _wait_client_gone()
            return NativeRun("/bin/sh", ["-c", wrapper, exe, ARG], cwd=folder)
        if ISOLATED:
            return NativeRun("unshare", ["--pid", "--fork", "--mount-proc", "/bin/sh", "-c",
                                         IN_NAMESPACE, exe, ARG], cwd=folder)
        _wait_client_gone()
        return NativeRun(exe, [ARG], cwd=folder)

    def finish(self, run, context=None, what=""):
        """Waits for the run's end; a run that hangs is killed and, in a
        round, counted as a violation."""
        self.counts["runs"] += 1
        try:
            run.wait(RUN_SECONDS)
        except RunTimeout:
            if context is None:
                raise
            context.report([f"still running after {RUN_SECONDS} s"], what, [], run)

    def client_started(self, folder):
        path = os.path.join(folder, "client-args.txt")
        end = time.monotonic() + 3
        while time.monotonic() < end:
            if os.path.exists(path):
                _wait_client_gone()
                # Natively the arguments one a line; under Wine the raw line.
                with open(path, "rb") as f:
                    words = f.read().decode("latin-1").split()
                os.remove(path)
                return ARG in words
            time.sleep(0.05)
        return False

    # One round.
    def round(self, number, proxy):
        rng = random.Random(f"{self.args.seed}:{number}")
        folder = os.path.join(self.work, "game")
        if os.path.exists(folder):
            shutil.rmtree(folder)
        via_proxy = rng.random() < 0.5
        self.counts["rounds via [Proxy]" if via_proxy else "rounds direct"] += 1
        proxy_values = {k: "" for k in PROXY_KEYS}
        if via_proxy:
            proxy_values.update(ProxyServer="127.0.0.1", ProxyPort=str(self.args.port))
        expectation = Expectation(self.items, proxy_values)
        context = Context(self, number, expectation, via_proxy)

        kind = rng.random()
        if number % TAMPER_EVERY == TAMPER_AT:
            self.counts["rounds with a swapped archive"] += 1
            shutil.copytree(self.template, folder, symlinks=True)
            self.place(folder, proxy_values)
            self.tampered_runs(context, folder, rng, proxy)
            self.clean_run(context, folder, proxy)
        elif self.wine:
            shutil.copytree(self.template, folder, symlinks=True)
            self.place(folder, proxy_values)
            if number % HOLD_EVERY == 1:
                self.counts["rounds holding a file open"] += 1
                self.held_run(context, folder, rng, proxy)
            else:
                self.counts["rounds faulted"] += 1
                for k in range(rng.randint(1, 2)):
                    self.faulted_run(context, folder, k, rng, proxy, always_kill=k == 0)
            self.clean_run(context, folder, proxy)
        elif kind < SPECIAL_SHARE:
            self.counts["rounds disk full"] += 1
            with TightFolder(os.path.join(self.work, "mnt"), self.template) as tight:
                self.place(tight.path, proxy_values)
                self.cause_round(context, tight, "full", rng, proxy)
        elif kind < 2 * SPECIAL_SHARE:
            self.counts["rounds read-only"] += 1
            with TightFolder(os.path.join(self.work, "mnt"), self.template) as tight:
                self.place(tight.path, proxy_values)
                self.cause_round(context, tight, "read-only", rng, proxy)
        else:
            self.counts["rounds faulted"] += 1
            shutil.copytree(self.template, folder, symlinks=True)
            self.place(folder, proxy_values)
            for k in range(rng.randint(1, 2)):
                self.faulted_run(context, folder, k, rng, proxy)
            self.clean_run(context, folder, proxy)

    def place(self, folder, proxy_values):
        data = self.template_ini
        for key, value in proxy_values.items():
            data = data.replace(f"{key}=\r\n".encode(), f"{key}={value}\r\n".encode(), 1)
        with open(os.path.join(folder, "QuillMar.ini"), "wb") as f:
            f.write(data)
        if proxy_values["ProxyServer"] and b"ProxyServer=127.0.0.1" not in data:
            raise SystemExit("the template's [Proxy] lines are not as written:\n" +
                             data.decode("latin-1"))

    def planner(self, rng):
        def plan(request):
            # The launchers check the manifest's signature and every
            # archive's hash: a flipped byte anywhere must be refused, and
            # a continuation from the wrong place never spliced.
            if request.range and rng.random() < RANGE_SHARE:
                table = RANGE_FAULTS
            elif rng.random() < FAULT_SHARE:
                table = FAULTS
            else:
                return pass_all(request)
            name = rng.choice(sorted(table))
            fault = table[name](rng)
            fault.label = name
            return fault
        return plan

    def faulted_run(self, context, folder, k, rng, proxy, always_kill=False):
        proxy.set_planner(self.planner(random.Random(rng.random())))
        kill_at = rng.uniform(0.0, 1.2 * self.run_seconds) if rng.random() < KILL_SHARE \
            else None
        if always_kill:
            # Wine's start takes a good part of a run: kills fall within it.
            kill_at = rng.uniform(0.0, self.run_seconds)
        run = self.start(folder)
        killed = False
        if kill_at is not None:
            end = time.monotonic() + kill_at
            while run.running() and time.monotonic() < end:
                time.sleep(0.005)
            if run.running():
                run.kill()
                killed = True
                self.counts["kills"] += 1
        what = f"faulted run {k}" + (f" killed at {kill_at:.3f} s" if killed else "")
        if not killed:
            self.finish(run, context, what)
        else:
            self.counts["runs"] += 1
        proxy.quiesce()
        taken = proxy.taken()
        for record in taken:
            self.faults[fault_name(record.fault)] += 1
        context.check_run(run, taken, what, killed)
        if not killed and os.path.exists(os.path.join(folder, "client-args.txt")):
            self.client_started(folder)
        violations, _ = context.expectation.check_folder(folder)
        context.report(violations, what, taken, run)

    def clean_run(self, context, folder, proxy):
        proxy.set_planner(pass_all)
        started = time.monotonic()
        run = self.start(folder)
        self.finish(run, context, "clean run")
        # Kills fall anywhere in the longest whole update seen.
        self.run_seconds = max(self.run_seconds, time.monotonic() - started)
        proxy.quiesce()
        taken = proxy.taken()
        for record in taken:
            self.faults[fault_name(record.fault)] += 1
        context.check_run(run, taken, "clean run", False)
        violations = []
        final = context.expectation.check_final(folder)
        if not self.client_started(folder):
            violations.append("the clean run did not start the client")
        if self.wine and any(v.startswith(SET_ASIDE_LAUNCHER) for v in final):
            # Windows lets the running launcher be renamed, not deleted: the
            # one replaced stays aside until the next start removes it.
            self.counts["set-aside launchers removed by the next start"] += 1
            run = self.start(folder)
            self.finish(run, context, "start after the clean run")
            if not self.client_started(folder):
                violations.append("the start after the clean run did not start the client")
            final = context.expectation.check_final(folder)
        for v in final:
            left = v[len("left behind: "):] if v.startswith("left behind: ") else None
            if left and any(fnmatch.fnmatchcase(left, g) for g in self.args.tolerate):
                self.counts["tolerated leftovers (known fault)"] += 1
                print(f"tolerated: seed {self.args.seed} round {context.number}: {v}",
                      flush=True)
            else:
                violations.append(v)
        context.report(violations, "clean run", taken, run)

    def tampered_runs(self, context, folder, rng, proxy):
        """One item's archive on the server swapped for another valid zip,
        its hash line and the signature as published: the item's row
        fails every time, the item stays old, and nothing that the swapped
        archive holds reaches the folder. The second run, when there is
        one, is faulted as well."""
        item = rng.choice(self.items)
        soak_release.publish_tampered(os.path.join(self.work, "www-new"),
                                      os.path.join(self.work, "www-tampered"), item)
        self.serve("tampered")
        try:
            for k in range(rng.randint(1, 2)):
                what = f"run {k} with {item.name}'s archive swapped"
                proxy.set_planner(pass_all if k == 0 else
                                  self.planner(random.Random(rng.random())))
                run = self.start(folder)
                self.finish(run, context, what)
                proxy.quiesce()
                taken = proxy.taken()
                for record in taken:
                    self.faults[fault_name(record.fault)] += 1
                context.check_run(run, taken, what, False)
                violations, states = context.expectation.check_folder(folder)
                violations += tampered_files(folder)
                if states.get(item.name) != OLD:
                    violations.append(f"{item.name} is {states.get(item.name)}")
                with open(os.path.join(folder, "QuillMar.ini"), "rb") as f:
                    sections, _ = parse_installed_copy(f.read())
                if item.record:
                    recorded = sections.get(item.record[0], {}).get(item.record[1])
                    if recorded != item.versions[OLD]:
                        violations.append(f"{item.name} records {recorded!r}")
                if not ISOLATED:
                    time.sleep(0.3)  # a client started at the end has its moment
                started = os.path.exists(os.path.join(folder, "client-args.txt"))
                if started:
                    self.client_started(folder)
                # A failed splash is passed over; any other row ends the run.
                if item.name != "Splash":
                    if started:
                        violations.append("the client was started")
                    if not run.boxes() and not run.errors():
                        violations.append("no failure shown")
                context.report(violations, what, taken, run)
        finally:
            self.serve(NEW)

    def held_run(self, context, folder, rng, proxy):
        """A data file held open by another program, which allows no one to
        write, rename or delete it, while the update replaces it: the run
        fails naming the file, the item keeps its old record and the file
        its old bytes. The clean run after it, the file released, installs
        the item."""
        item = rng.choice([i for i in self.items if i.record and i.record[0] != "SP"])
        name = rng.choice(item.files())
        path = os.path.join(folder, name)
        what = f"run with {name} held open"
        proxy.set_planner(pass_all)
        with self.wine.hold(path):
            run = self.start(folder)
            self.finish(run, context, what)
            proxy.quiesce()
            taken = proxy.taken()
            context.check_run(run, taken, what, False)
            violations, _ = context.expectation.check_folder(folder)
            state = file_state(path, item.members[OLD][name], item.members[NEW][name])
            if state != OLD:
                violations.append(f"the held file {name} is {state}")
        with open(os.path.join(folder, "QuillMar.ini"), "rb") as f:
            sections, _ = parse_installed_copy(f.read())
        recorded = sections.get(item.record[0], {}).get(item.record[1])
        if recorded != item.versions[OLD]:
            violations.append(f"{item.name} records {recorded!r} with {name} held open")
        time.sleep(0.3)  # a client started at the end has its moment
        if os.path.exists(os.path.join(folder, "client-args.txt")):
            self.client_started(folder)
            violations.append("the client was started")
        base = name.rsplit("/", 1)[-1].lower()
        if not any(base in text.lower() for _, text in run.boxes()):
            violations.append(f"no box names {base}")
        context.report(violations, what, taken, run)

    def cause_round(self, context, tight, cause, rng, proxy):
        """A run that must fail cleanly, then a clean run once the cause is
        gone. A full disk is either full from the start (the launcher does
        not fit: nothing may change) or, the launcher being current, fills
        up at some later item (those before it stay, the rest are whole
        old)."""
        folder = tight.path
        strict = True
        if cause == "full":
            launcher = next(i for i in self.items if i.name == "Launcher")
            if rng.random() < 0.5:
                tight.fill(rng.randrange(0, 3 * 4096))
            else:
                # The launcher current already: its update would free
                # far more than the others need.
                strict = False
                cause = "filling"
                for name, data in launcher.members[NEW].items():
                    with open(os.path.join(folder, name), "wb") as f:
                        f.write(data)
                # Each item needs at most its archive and its new files at
                # once (page-rounded): room for some items, not for others.
                need = max(self.sizes[i.name] + sum(len(d) + 4096 for d in
                                                    i.members[NEW].values())
                           for i in self.items if i is not launcher)
                tight.fill(rng.randrange(4096, need))
        else:
            tight.read_only()
        proxy.set_planner(pass_all)
        what = f"run on a {cause} folder"
        run = self.start(folder, tight.wrapper())
        self.finish(run, context, what)
        proxy.quiesce()
        taken = proxy.taken()
        for record in taken:
            self.faults[fault_name(record.fault)] += 1
        context.check_run(run, taken, what, False)
        violations, states = context.expectation.check_folder(folder)
        if not ISOLATED:
            time.sleep(0.3)  # a client started at the end has its moment
        finished = os.path.exists(os.path.join(folder, "client-args.txt"))
        if finished:
            self.client_started(folder)
        if strict or not finished:
            if finished:
                violations.append("the client was started")
            if not run.boxes() and not run.errors():
                violations.append("no failure shown")
        if strict:
            for name, state in states.items():
                if state != OLD:
                    violations.append(f"{name} is {state}: the old files are not whole")
            with open(os.path.join(folder, "QuillMar.ini"), "rb") as f:
                now = f.read()
            if _without_serial(now) != _without_serial(
                    _with_proxy(self.template_ini, context.expectation.proxy)):
                violations.append("QuillMar.ini changed: " + now.decode("latin-1"))
        elif finished:
            self.counts["filling disk runs that fitted"] += 1
        context.report(violations, what, taken, run)
        tight.release()
        self.clean_run(context, folder, proxy)

    def report(self):
        print(f"seed {self.args.seed}, rounds {self.args.first_round}.."
              f"{self.args.first_round + self.counts['rounds'] - 1}")
        for key in ("rounds", "rounds faulted", "rounds disk full", "rounds read-only",
                    "rounds holding a file open", "rounds with a swapped archive",
                    "rounds direct", "rounds via [Proxy]",
                    "filling disk runs that fitted", "runs", "kills",
                    "set-aside launchers removed by the next start",
                    "tolerated leftovers (known fault)"):
            print(f"  {key}: {self.counts[key]}")
        names = ["pass"] + sorted(FAULTS) + sorted(RANGE_FAULTS)
        print("  connections by fault: " + ", ".join(f"{k} {self.faults[k]}" for k in names))
        print(f"  invariant violations: {len(self.violations)}")
        kinds = collections.Counter(v.split(": ", 1)[1].split("\n")[0] for v in self.violations)
        for text, count in kinds.most_common():
            print(f"    {count} x {text}")


class Context:
    """What a round's checks need to say where they failed."""

    def __init__(self, soak, number, expectation, via_proxy):
        self.soak = soak
        self.number = number
        self.expectation = expectation
        self.via_proxy = via_proxy

    def check_run(self, run, taken, what, killed):
        if self.soak.args.verbose:
            plan = ", ".join(f"{r.target} {r.fault!r}/{r.sent}" for r in taken)
            print(f"round {self.number} {what}: {plan}\n    shown: {run.statuses()}",
                  flush=True)
        problems = []
        if not killed:
            report = run.sanitizer_report()
            if report:
                problems.append("sanitizer report:\n" + report[:4000])
        for r in taken:
            if r.absolute != self.via_proxy:
                problems.append(f"{r.target} asked {'through' if r.absolute else 'past'} the proxy")
        if taken and taken[0].target != MANIFEST:
            problems.append(f"the first request was {taken[0].target}")
        self.report(problems, what, taken, run)

    def report(self, violations, what, taken, run):
        for v in violations:
            plan = ", ".join(f"{r.target} {r.fault!r}/{r.sent}" for r in taken)
            text = (f"seed {self.soak.args.seed} round {self.number} "
                    f"({'proxy' if self.via_proxy else 'direct'}), {what}: {v}\n"
                    f"      plan: {plan}\n      boxes: {run.boxes()} errors: "
                    f"{run.errors()[:500]!r}\n      shown: {run.statuses()[-6:]}")
            self.soak.violations.append(text)
            print("VIOLATION " + text, flush=True)


def pass_all(_request):
    fault = Fault("pass")
    fault.label = "pass"
    return fault


def fault_name(fault):
    return getattr(fault, "label", fault.kind)


def _without_serial(data):
    # Accepting the new release's manifest records its serial before any
    # item is touched; the rest of the installed copy must stay as it was.
    # No other section of the installed copy has a key Serial.
    new = f"\nSerial={soak_release.SERIALS[NEW]}\r\n".encode()
    return data.replace(new, f"\nSerial={soak_release.SERIALS[OLD]}\r\n".encode())


def _with_proxy(data, proxy_values):
    for key, value in proxy_values.items():
        data = data.replace(f"{key}=\r\n".encode(), f"{key}={value}\r\n".encode(), 1)
    return data


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _client_or_zombie(pid):
    # By its process name, as the updater looks: that also finds a client
    # that has ended but is not yet reaped, which the updater takes for a
    # running one.
    if not pid.isdigit() or int(pid) == os.getpid():
        return False
    try:
        with open(f"/proc/{pid}/comm", "rb") as f:
            return f.read().strip().lower() == b"_quillmar_.exe"
    except OSError:
        return False


def _wait_client_gone():
    end = time.monotonic() + 10
    while time.monotonic() < end and any(map(_client_or_zombie, os.listdir("/proc"))):
        time.sleep(0.05)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--old-launcher", required=True)
    p.add_argument("--new-launcher", required=True)
    p.add_argument("--old-foo", required=True)
    p.add_argument("--new-foo", required=True)
    p.add_argument("--client", required=True)
    p.add_argument("--port", type=int, required=True,
                   help="the fault proxy's port, built into the launchers; nginx takes the next")
    p.add_argument("--work", required=True)
    p.add_argument("--rounds", type=int, default=50)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--first-round", type=int, default=0)
    p.add_argument("--tolerate", action="append", default=[], metavar="GLOB",
                   help="a leftover of a known, not yet mended fault: counted, not a violation")
    p.add_argument("--verbose", action="store_true", help="every run's plan and texts")
    p.add_argument("--minutes", type=float, default=0,
                   help="stop starting rounds after this long (0: no limit)")
    p.add_argument("--emulator", help="Wine: the launchers are the Windows build's")
    p.add_argument("--wintool", help="under Wine: the window lister of tests/e2e")
    p.add_argument("--holder", help="under Wine: the program that holds a file open")
    p.add_argument("--wineprefix", help="under Wine: the soak's own prefix (made when missing)")
    args = p.parse_args()
    if args.emulator and not (args.wintool and args.holder and args.wineprefix):
        p.error("--emulator needs --wintool, --holder and --wineprefix")
    for tool in ("nginx", "tinyproxy", "zip"):
        if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
            raise SystemExit(f"{tool} is missing")
    stale = os.path.join(args.work, "mnt")
    if os.path.ismount(stale):  # a soak that was killed
        subprocess.run(["umount", "-l", stale], timeout=30, check=False)
    if os.path.exists(args.work):
        shutil.rmtree(args.work)
    os.makedirs(args.work)
    global ISOLATED
    ISOLATED = not args.emulator and can_isolate()
    print("runs in a process namespace of their own" if ISOLATED else
          "runs under Wine, in a prefix of the soak's own" if args.emulator else
          "runs share the process table: another client running makes a run stop early",
          flush=True)
    soak = Soak(args)
    soak.prepare()
    started = time.monotonic()
    with servers.Servers(soak.work, args.port + 1) as _, \
            FaultServer(args.port, args.port + 1) as proxy, \
            contextlib.ExitStack() as stack:
        if args.emulator:
            from wine_runs import WineRuns
            soak.wine = WineRuns(args.emulator, args.wintool, args.holder,
                                 os.path.join(soak.work, "wine"), args.wineprefix)
            stack.callback(soak.wine.close)
            print(f"Wine session up after {time.monotonic() - started:.1f} s", flush=True)
        soak.install_template(proxy)
        for number in range(args.first_round, args.first_round + args.rounds):
            if args.minutes and time.monotonic() - started > args.minutes * 60:
                print(f"time limit reached after {soak.counts['rounds']} rounds")
                break
            soak.round(number, proxy)
            soak.counts["rounds"] += 1
            if soak.counts["rounds"] % 50 == 0:
                print(f"... {soak.counts['rounds']} rounds, {soak.counts['kills']} kills, "
                      f"{len(soak.violations)} violations, "
                      f"{time.monotonic() - started:.0f} s", flush=True)
    soak.report()
    return 1 if soak.violations else 0


if __name__ == "__main__":
    sys.exit(main())
