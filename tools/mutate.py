#!/usr/bin/env python3
"""What the tests miss in a change: small faults planted one at a time in the lines the change
added or altered, each built and tested as the suite would, and a report of those no test noticed.

    tools/mutate.py --since COMMIT [--sample N] [--seed S] [--resume] [--retest-survivors]
                    [--limit K] [--list] [--out DIR] [--config FILE]
                    [--reverse] [--merge DIR...]

The faults (tools/mutants.py lists the operators) are chosen at random, N of them (default 12),
spread over the changed files in proportion to their changed lines; the same COMMIT, working tree
and seed give the same sample. Each is applied in a scratch copy of the working tree
(DIR/src, DIR is build/mutate), built incrementally in DIR/win32, and the test programs that
cover its file run on a Wine rig of its own, cheapest first, the window program last and only if
none before it failed. A test program that fails or runs past its time limit has caught the
mutant; a mutant that does not compile, or that leaves its file's objects unchanged (code for the
other width), is counted apart and not in the kill rate. So is one in a file to which no row of
the plan gives a test program ("not covered"): the run then ends with status 1 after its report,
and the list names such files too. Each test program also runs once without any mutant, and must
pass then.

Each result is saved as it comes (DIR/state.json): --resume goes on with the same sample after a
stop, and tries those not covered again; --retest-survivors, with --resume, tests the survivors
again (after new tests), each found again by its line's text if the code has moved; one whose
line is gone counts neither way. --limit K stops after K mutants. Two runs can share a sample:
a copy of DIR/state.json in another DIR run with --resume --reverse takes the mutants from the
last, each on its own scratch copy and rig;
--merge OTHER-DIR then adds the other run's results to the report. The report is DIR/report.md. --config FILE (JSON) replaces parts of the
project's set-up below, for the tool's own test.

Where the 32-bit programs run only under an emulator (scripts/x86-programs.sh), the scratch copy
is built in DIR/win64 and its 64-bit test programs run instead: a mutant the 64-bit objects do not
show (code of the 32-bit width alone) is then built and tested in DIR/win32, under the emulator.
"""
import argparse
import glob
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutants  # noqa: E402

RIG = '. "$MUTATE_OUT/rig/env" && '
# The tree the test programs are built and run in: win32, or win64 (see Runner.use).
WIN32 = RIG + 'ctest --test-dir "$MUTATE_OUT/$MUTATE_TREE" --output-on-failure -R '
TOOLCHAINS = {"win32": "cmake/toolchain-mingw-w64-i686.cmake", "win64": "cmake/toolchain-mingw-w64-x86_64.cmake"}

# The project: its rooms, how the scratch copy is built and the rig started, its test programs
# with about how long each runs here, and which programs cover which files (first match wins).
PROJECT = {
    "rooms": ["engine", "serial", "loader", "firmware", "ui", "updateevents", "windows", "updatelog",
              "faultreport", "tools"],
    "prepare": [
        "scripts/build.sh native >/dev/null",
        'cmake -S . -B "$MUTATE_OUT/$MUTATE_TREE" -G Ninja -DCMAKE_BUILD_TYPE=Release '
        '-DCMAKE_TOOLCHAIN_FILE="$PWD/$MUTATE_TOOLCHAIN" >/dev/null',
    ],
    "start": ["scripts/rig.sh start >/dev/null"],
    "finish": ["scripts/rig.sh stop >/dev/null 2>&1"],
    "build": 'cmake --build "$MUTATE_OUT/$MUTATE_TREE" --target {targets}',
    "built": [".cpp", ".h", ".c"],
    "objects": "{tree}/**/*.obj",
    # None: win64 where the 32-bit programs are emulated, else win32 (scripts/x86-programs.sh).
    "tree": None,
    "limit_factor": 3, "limit_min": 90, "grace": 30,
    "programs": {
        "ring": {"command": WIN32 + "'^ring$'", "target": "test_ring", "seconds": 10},
        "engine": {"command": WIN32 + "'^engine$'", "target": "test_engine", "seconds": 30},
        "reliability_engine": {"command": WIN32 + "'^reliability_engine$'",
                               "target": "test_reliability_engine", "seconds": 30},
        "serial": {"command": WIN32 + "'^serial$'", "target": "test_serial", "seconds": 45},
        "firmware": {"command": WIN32 + "'^firmware$'", "target": "test_firmware", "seconds": 130},
        "ui": {"command": WIN32 + "'^ui$'", "target": "test_ui", "seconds": 130},
        "faultreport": {"command": WIN32 + "'^faultreport$'", "target": "test_faultreport",
                        "seconds": 90},
        "gui": {"command": WIN32 + "'^gui$'", "target": "test_gui", "seconds": 180},
        "guide_texts": {"command": 'ctest --test-dir "$MUTATE_OUT/native" --output-on-failure '
                                   "-R '^guide_texts'", "target": None, "seconds": 5},
        "firmware_images": {"command": 'ctest --test-dir "$MUTATE_OUT/native" '
                                       "--output-on-failure -R '^firmware_images'",
                            "target": None, "seconds": 10},
        "room_includes": {"command": 'ctest --test-dir "$MUTATE_OUT/native" --output-on-failure '
                                     "-R '^room_includes'", "target": None, "seconds": 5},
        "third_party": {"command": 'ctest --test-dir "$MUTATE_OUT/native" --output-on-failure '
                                   "-R '^third_party$'", "target": None, "seconds": 10},
    },
    "plan": [
        ["engine/Circular", ["ring", "engine"]],
        ["engine/ProcessThrottling", ["serial", "ui", "gui"]],
        ["engine/ThreadRoles", ["faultreport", "engine", "gui"]],
        # The worker's thread and its role, as a fault on it is reported.
        ["engine/UpdateEngine", ["engine", "faultreport", "reliability_engine", "serial", "firmware", "ui",
                                 "gui"]],
        ["engine/", ["engine", "reliability_engine", "serial", "firmware", "ui", "gui"]],
        ["serial/", ["serial", "engine", "firmware", "gui"]],
        ["loader/", ["reliability_engine", "engine", "gui"]],
        ["firmware/", ["firmware", "gui"]],
        ["faultreport/", ["faultreport", "ui"]],
        ["updateevents/", ["ui", "gui"]],
        ["windows/PowerHold", ["ui", "faultreport", "gui"]],  # the fault report lets it go too
        ["windows/", ["ui", "gui"]],
        ["updatelog/", ["ui", "gui"]],
        ["ui/", ["ui", "gui"]],
        ["tools/resolve_fault.py", ["faultreport"]],
        ["tools/visible_texts.py", ["guide_texts"]],
        ["tools/make_firmware_images.py", ["firmware_images"]],
        ["tools/check_firmware_images.py", ["firmware_images"]],
        ["tools/pe_load_config.py", ["gui"]],
        ["tools/room_includes.py", ["room_includes"]],
        ["tools/third_party.py", ["third_party"]],
        # Run only by the release check, which builds twice and takes the guide's converter from
        # an export of the commit: no program here tests a mutant of either, so they stay "not covered".
        ["tools/exe_version.py", []],
        ["tools/guide_html.py", []],
    ],
}


def plan_row(config, path):
    """The programs of the plan's first row that names the file, or None where no row does."""
    for prefix, programs in config["plan"]:
        if path.startswith(prefix):
            return programs
    return None


def uncovered(config, state):
    """The files of the sample to which no row of the plan gives a test program."""
    return sorted({m["path"] for m in state["mutants"] if not plan_row(config, m["path"])})


def say(text):
    print(f"mutate: {text}", flush=True)


class Runner:
    """The scratch copy, its build and its test programs, as the configuration describes them."""

    def __init__(self, config, repo, out):
        self.config, self.repo, self.out = config, repo, out
        self.scratch = os.path.join(out, "src")
        self.logs = os.path.join(out, "logs")
        self.env = dict(os.environ, MUTATE_OUT=out, MUTATE_SRC=self.scratch, BUILD_DIR=out)
        self.original_objects = {}  # {(tree, source): {object: digest}} as built without any mutant
        self.prepared = set()
        self.tree = self.default_tree = config.get("tree") or self.native_tree(repo)
        self.use(self.tree)

    @staticmethod
    def native_tree(repo):
        """win32, where this machine runs 32-bit programs natively; else win64: an emulated CPU's
        outcome is no test of the code, and the 64-bit build holds the same code but its width's."""
        probe = os.path.join(repo, "scripts", "x86-programs.sh")
        if not os.path.exists(probe):
            return "win32"
        mode = subprocess.run([probe, "mode"], capture_output=True, text=True).stdout.strip()
        return "win32" if mode == "native" else "win64"

    def use(self, tree):
        """Builds and tests in TREE from now on; prepares it the first time."""
        self.tree = tree
        self.env.update(MUTATE_TREE=tree, MUTATE_TOOLCHAIN=TOOLCHAINS.get(tree, ""))

    def shell(self, command, log, limit=None):
        """Runs one command in the scratch copy; its exit status, or None past the limit."""
        with open(log, "a") as output:
            output.write(f"$ {command}\n")
            output.flush()
            process = subprocess.Popen(["bash", "-c", command], cwd=self.scratch, env=self.env,
                                       stdout=output, stderr=subprocess.STDOUT,
                                       start_new_session=True)
            try:
                return process.wait(timeout=limit)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                return None

    def prepare(self, tree):
        """Uses TREE, running the prepare steps for it once."""
        self.use(tree)
        if tree not in self.prepared:
            self.steps("prepare")
            self.prepared.add(tree)

    def steps(self, name):
        log = os.path.join(self.logs, f"{name}.log")
        for command in self.config.get(name, []):
            if self.shell(command, log) != 0:
                raise SystemExit(f"mutate: '{command}' failed (see {log})")

    def sync(self):
        """Makes the scratch copy the working tree (tracked and new files), rewriting only
        files that differ, so that the build stays incremental."""
        listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=self.repo,
                                check=True, capture_output=True).stdout.decode().split("\0")
        wanted = {p for p in listed if p and os.path.isfile(os.path.join(self.repo, p))}
        for path in sorted(wanted):
            source, target = os.path.join(self.repo, path), os.path.join(self.scratch, path)
            with open(source, "rb") as f:
                data = f.read()
            if not os.path.exists(target) or open(target, "rb").read() != data:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as f:
                    f.write(data)
                shutil.copymode(source, target)
        for folder, _, files in os.walk(self.scratch):
            for name in files:
                path = os.path.relpath(os.path.join(folder, name), self.scratch)
                if path not in wanted:
                    os.remove(os.path.join(folder, name))

    def programs_for(self, path):
        return plan_row(self.config, path) or []

    def needs_build(self, path):
        return path.endswith(tuple(self.config.get("built", [])))

    def build(self, programs, log):
        targets = [self.config["programs"][p]["target"] for p in programs]
        targets = [t for t in targets if t]
        if not targets:
            return True
        return self.shell(self.config["build"].format(targets=" ".join(targets)), log) == 0

    def objects(self, path):
        """{object file: digest} of the objects compiled from one source file."""
        pattern = self.config.get("objects")
        if not pattern or not path.endswith((".cpp", ".c")):
            return {}
        pattern = pattern.format(tree=self.tree)
        found = {}
        for obj in glob.glob(os.path.join(self.out, pattern), recursive=True):
            if obj.replace(os.sep, "/").endswith("/" + path + ".obj"):
                with open(obj, "rb") as f:
                    found[obj] = hashlib.sha256(f.read()).hexdigest()
        return found

    def key(self, program):
        """The baseline's key of a program: its name in the 32-bit tree, name@tree in another."""
        return program if self.tree == "win32" else f"{program}@{self.tree}"

    def limit(self, program, baseline):
        seconds = baseline.get(self.key(program), self.config["programs"][program]["seconds"])
        return max(self.config.get("limit_min", 60), self.config.get("limit_factor", 3) * seconds)

    def test(self, program, log, limit):
        """(passed, timed out) for one test program."""
        entry = self.config["programs"][program]
        status = self.shell(entry["command"], log, limit + self.config.get("grace", 30))
        if status is None:
            return False, True
        with open(log, errors="replace") as f:
            timed_out = "***Timeout" in f.read()
        return status == 0, timed_out


def first_failure(log):
    """The first GoogleTest case (or CTest test) that failed, from a program's output."""
    with open(log, errors="replace") as f:
        text = f.read()
    m = re.search(r"^\[  FAILED  \] (\S+)", text, re.M) or re.search(r"\*\*\*Failed\s+\S+", text)
    found = m.group(1) if m and m.groups() else (m.group(0) if m else "")
    return found.rstrip(",")  # a parameterised case's name is followed by ", where GetParam() = ..."


# The check leaves itself out: a range that holds it would be measured mostly on the tool's own
# stub-driven test rather than on the product's tests.
ITSELF = ("tools/mutate.py", "tools/mutants.py")


def candidates(since, rooms, repo):
    changed = mutants.changed_lines(since, rooms, repo)
    files = {}
    for path in sorted(changed):
        if mutants.mutable(path) and path not in ITSELF and os.path.isfile(os.path.join(repo, path)):
            with open(os.path.join(repo, path), encoding="utf-8", errors="replace") as f:
                found = mutants.file_mutants(path, f.read(), changed[path])
            if found:
                files[path] = (len(changed[path]), found)
    return files


def draw(files, count, seed):
    """`count` mutants: a file drawn by its changed lines, then one of its mutants at random."""
    rng = random.Random(seed)
    left = {path: list(found) for path, (_, found) in files.items()}
    picked = []
    while len(picked) < count and any(left.values()):
        paths = sorted(p for p in left if left[p])
        path = rng.choices(paths, weights=[files[p][0] for p in paths])[0]
        picked.append(left[path].pop(rng.randrange(len(left[path]))))
    return picked


def cell(text):
    return "`" + text.strip().replace("|", "\\|").replace("`", "'") + "`"


def report(state, path, missed=()):
    """MISSED: the files no program covers, whose mutants are "not covered" before they run."""
    rows = []
    counts = {"caught": 0, "survived": 0, "uncovered": 0, "compile": 0, "unchanged": 0, "gone": 0}
    for index, data in enumerate(state["mutants"]):
        m = mutants.Mutant.from_json(data)
        result = state["results"].get(str(index))
        if result is None and m.path in missed:
            result = {"outcome": "uncovered"}
        if result is not None and result["outcome"] == "survived" and not result.get("by"):
            result = dict(result, outcome="uncovered")  # as an older state wrote it
        if result is None:
            verdict = "not run yet"
        else:
            counts[result["outcome"]] += 1
            verdict = {"caught": lambda r: f"caught by {r['by']}" + (" (time-out)" if r.get("timeout")
                                                                      else f" {r['case'].rstrip(',')}".rstrip()),
                       "survived": lambda r: "**SURVIVED**",
                       "uncovered": lambda r: "not covered: no row of the plan gives it a test program",
                       "compile": lambda r: "does not compile",
                       "unchanged": lambda r: "objects unchanged (code for another width)",
                       "gone": lambda r: "line no longer in the code"
                       }[result["outcome"]](result)
            if result.get("tree"):
                verdict += f" (in {result['tree']})"
        rows.append(f"| {index + 1} | {m.path}:{m.line} | {m.operator} | {cell(m.before)} | "
                    f"{cell(m.after)} | {verdict} |")
    judged = counts["caught"] + counts["survived"]
    rate = f"{100 * counts['caught'] / judged:.0f}%" if judged else "n/a"
    minutes = state.get("elapsed", 0) / 60
    text = "\n".join([
        f"# Mutants since {state['since']}",
        "",
        f"Commit {state['commit']}{' with uncommitted changes' if state.get('dirty') else ''}; "
        f"seed {state['seed']}; {len(state['mutants'])} drawn of {state['candidates']} candidates "
        f"in {state['files']} files" + (f"; built and tested in {state['tree']}." if state.get("tree") else "."),
        "",
        "| # | where | operator | before | after | result |",
        "|---|---|---|---|---|---|",
        *rows,
        "",
        f"Kill rate: {counts['caught']} of {judged} = **{rate}** "
        f"({counts['uncovered']} not covered by any test program, {counts['compile']} did not compile, "
        f"{counts['unchanged']} left the objects unchanged, "
        f"{counts['gone']} were on lines no longer in the code; none of these counts). "
        f"Wall time: {minutes:.1f} min.",
        "",
    ])
    with open(path, "w") as f:
        f.write(text)
    return text


def save(state, path):
    with open(path + ".new", "w") as f:
        json.dump(state, f, indent=1)
    os.replace(path + ".new", path)


def run_mutant(runner, state, index, save_state):
    m = mutants.Mutant.from_json(state["mutants"][index])
    source = os.path.join(runner.scratch, m.path)
    with open(source, encoding="utf-8", errors="surrogateescape", newline="") as f:
        original = f.read()
    lines = original.split("\n")
    line = m.line
    if line > len(lines) or lines[line - 1] != m.before:
        # Survivors retested after new tests: the code may have moved since the sample was
        # drawn. The line is found again by its text where the file holds it once; otherwise
        # the mutant is gone, and counts neither way.
        found = [i + 1 for i, text in enumerate(lines) if text == m.before]
        if len(found) != 1:
            return {"outcome": "gone", "by": ""}
        line = found[0]
    mutated = "\n".join(lines[:line - 1] + [m.after] + lines[line:])
    log_base = os.path.join(runner.logs, f"mutant-{index + 1}")
    baseline = state.setdefault("baseline", {})

    def write(text):
        with open(source, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
            f.write(text)

    if not runner.programs_for(m.path):
        return {"outcome": "uncovered", "by": ""}

    def attempt():
        """The mutant built and tested in the runner's tree."""
        result = {"outcome": "survived", "by": ""}
        applied = False
        for program in runner.programs_for(m.path):
            key = runner.key(program)
            if key not in baseline:
                write(original)
                applied = False
                log = f"{log_base}-baseline-{key}.log"
                began = time.monotonic()
                if not runner.build([program], log) or runner.test(program, log, 3600) != (True, False):
                    raise SystemExit(f"mutate: {program} fails without any mutant in {runner.tree} (see {log})")
                baseline[key] = round(time.monotonic() - began)
                save_state()
            if (runner.tree, m.path) not in runner.original_objects:
                write(original)
                applied = False
                if runner.needs_build(m.path) and not runner.build([program], f"{log_base}-original.log"):
                    raise SystemExit(f"mutate: {program} does not build without any mutant in {runner.tree}")
                runner.original_objects[(runner.tree, m.path)] = runner.objects(m.path)
            if not applied:
                write(mutated)
                applied = True
            log = f"{log_base}-{program}.log"
            if runner.needs_build(m.path) and not runner.build([program], log):
                result = {"outcome": "compile", "by": program}
                break
            before, after = runner.original_objects.get((runner.tree, m.path), {}), runner.objects(m.path)
            if before and after and all(after.get(k) == v for k, v in before.items()):
                result = {"outcome": "unchanged", "by": program}
                break
            passed, timed_out = runner.test(program, log, runner.limit(program, baseline))
            if timed_out:
                runner.steps("finish")
                runner.steps("start")
            if not passed:
                result = {"outcome": "caught", "by": program, "timeout": timed_out,
                          "case": "" if timed_out else first_failure(log)}
                break
            result["by"] = program
        return result

    try:
        result = attempt()
        if result["outcome"] == "unchanged" and runner.tree != "win32":
            # Code of the 32-bit width alone: its own build tests it, under the emulator.
            runner.prepare("win32")
            try:
                result = attempt()
            finally:
                runner.use(runner.default_tree)
            if result["outcome"] != "unchanged":
                result["tree"] = "win32"
    finally:
        write(original)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--since", required=True)
    parser.add_argument("--sample", type=int, default=12)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--retest-survivors", action="store_true")
    parser.add_argument("--limit", type=int)
    parser.add_argument("--list", action="store_true", help="print the sample, run nothing")
    parser.add_argument("--out")
    parser.add_argument("--config")
    parser.add_argument("--reverse", action="store_true", help="the sample's mutants from the last")
    parser.add_argument("--merge", nargs="+", default=[], help="out folders of runs of the same sample")
    args = parser.parse_args()
    began = time.monotonic()

    repo = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True, capture_output=True,
                          text=True).stdout.strip()
    config = dict(PROJECT)
    if args.config:
        with open(args.config) as f:
            config.update(json.load(f))
    out = os.path.abspath(args.out or os.path.join(os.environ.get("BUILD_DIR") or
                                                   os.path.join(repo, "build"), "mutate"))
    state_path = os.path.join(out, "state.json")
    os.makedirs(os.path.join(out, "logs"), exist_ok=True)

    if args.resume and os.path.exists(state_path):
        with open(state_path) as f:
            state = json.load(f)
        if (state["since"], state["seed"], len(state["mutants"])) != (args.since, args.seed,
                                                                      min(args.sample, state["candidates"])):
            raise SystemExit("mutate: --resume needs the --since, --seed and --sample of the saved run "
                             f"({state['since']}, {state['seed']}, {len(state['mutants'])})")
        # One not covered is tried again: its file may have a row of the plan by now.
        for key in [k for k, r in state["results"].items() if r["outcome"] == "uncovered" or (
                r["outcome"] == "survived" and (args.retest_survivors or not r.get("by")))]:
            del state["results"][key]
    else:
        files = candidates(args.since, config["rooms"], repo)
        picked = draw(files, args.sample, args.seed)
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=repo, check=True,
                              capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", *config["rooms"]], cwd=repo,
                               capture_output=True, text=True).stdout.strip() != ""
        state = {"since": args.since, "seed": args.seed, "commit": head, "dirty": dirty,
                 "candidates": sum(len(found) for _, found in files.values()), "files": len(files),
                 "mutants": [m.to_json() for m in picked], "results": {}, "elapsed": 0}
    for other_out in args.merge:
        with open(os.path.join(other_out, "state.json")) as f:
            other = json.load(f)
        if other["mutants"] != state["mutants"]:
            raise SystemExit(f"mutate: {other_out} ran another sample")
        for key, result in other["results"].items():
            state["results"].setdefault(key, result)
        # Runs side by side: the wall time is the longer one's.
        state["elapsed"] = max(state.get("elapsed", 0), other.get("elapsed", 0))
    report_path = os.path.join(out, "report.md")
    missed = uncovered(config, state)
    if missed:  # seen before a long run, not after it
        say(f"no row of the plan gives a test program to {', '.join(missed)}")
    if args.list:
        print(report(state, report_path, missed))
        return 0

    runner = Runner(config, repo, out)
    state["tree"] = runner.tree
    os.makedirs(runner.scratch, exist_ok=True)
    elapsed_before = state.get("elapsed", 0)

    def save_state():
        state["elapsed"] = elapsed_before + time.monotonic() - began
        save(state, state_path)

    save_state()
    todo = [i for i in range(len(state["mutants"])) if str(i) not in state["results"]]
    if args.reverse:
        todo.reverse()
    if args.limit is not None:
        todo = todo[:args.limit]
    if todo:
        runner.sync()
        runner.prepare(runner.tree)
        programs = sorted({p for i in todo for p in runner.programs_for(state["mutants"][i]["path"])})
        if not runner.build(programs, os.path.join(runner.logs, "prepare.log")):
            raise SystemExit(f"mutate: the scratch copy does not build (see {runner.logs}/prepare.log)")
        for i in todo:
            path = state["mutants"][i]["path"]
            runner.original_objects.setdefault((runner.tree, path), runner.objects(path))
    try:
        if todo:
            runner.steps("start")
        for index in todo:
            m = state["mutants"][index]
            say(f"{index + 1}/{len(state['mutants'])} {m['path']}:{m['line']} {m['operator']}")
            state["results"][str(index)] = run_mutant(runner, state, index, save_state)
            save_state()
            say(f"  {state['results'][str(index)]['outcome']}")
    finally:
        if todo:
            runner.steps("finish")
        save_state()
    print(report(state, report_path, missed))
    say(f"report: {report_path}")
    # A gap in the plan fails the run, so that it is seen the day it opens.
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
