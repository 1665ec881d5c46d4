#!/usr/bin/env python3
"""tools/mutate.py on a throwaway repository with a stub build and stub test programs: a mutant
caught, one that survives, one that does not compile, one that times out; a stopped run resumed; survivors retested after the code moved; a file in no row of the plan; and this repository's files all in the plan."""
import json
import os
import subprocess
import sys
import tempfile

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "mutate.py")
SOURCE = "int pick(int x)\n{\n    if (x == 3) return 7;\n    return 5;\n}\n"
# The build refuses "return 8"; "quick" notices x != 3 and counts its runs; "slow" hangs on x == 4.
CONFIG = {
    "rooms": ["room"], "prepare": [], "start": [], "finish": [],
    "build": "! grep -q 'return 8' room/a.c", "built": [".c"], "objects": None,
    "limit_factor": 1, "limit_min": 1, "grace": 0,
    "programs": {
        "quick": {"command": "echo run >> \"$MUTATE_OUT/runs\"; ! grep -q 'x != 3' room/a.c",
                  "target": "t", "seconds": 1},
        "slow": {"command": "if grep -q 'x == 4' room/a.c; then sleep 30; fi", "target": "t", "seconds": 1},
    },
    "plan": [["room/a", ["quick", "slow"]]],
}


def run(repo, *args, out="out", status=0):
    done = subprocess.run([sys.executable, TOOL, "--since", "base", "--sample", "20", "--seed", "3",
                           "--out", os.path.join(repo, out), "--config", os.path.join(repo, "c.json"),
                           *args], cwd=repo, capture_output=True, text=True)
    assert done.returncode == status, done.stdout + done.stderr
    return done.stdout


def main():
    with tempfile.TemporaryDirectory() as repo:
        git = ["git", "-c", "user.name=t", "-c", "user.email=t@t"]
        os.makedirs(os.path.join(repo, "room"))
        with open(os.path.join(repo, ".gitignore"), "w") as f:
            f.write("out/\nc.json\n")
        subprocess.run(["git", "init", "-q"], cwd=repo, check=True)
        open(os.path.join(repo, "room", "a.c"), "w").close()
        open(os.path.join(repo, "room", "b.py"), "w").close()
        subprocess.run([*git, "add", "."], cwd=repo, check=True)
        subprocess.run([*git, "commit", "-qm", "base"], cwd=repo, check=True)
        subprocess.run([*git, "tag", "base"], cwd=repo, check=True)
        with open(os.path.join(repo, "room", "a.c"), "w") as f:
            f.write(SOURCE)
        with open(os.path.join(repo, "c.json"), "w") as f:
            json.dump(CONFIG, f)

        run(repo, "--limit", "3")
        report = run(repo, "--resume")
        rows = {line.split(" | ")[4]: line.split(" | ")[5] for line in report.splitlines()
                if line.startswith("| ") and "|---" not in line and "before" not in line}
        expected = {"`if (x != 3) return 7;`": "caught by quick",
                    "`if (x == 4) return 7;`": "caught by slow (time-out)",
                    "`if (x == 3) return 8;`": "does not compile",
                    "`return 4;`": "**SURVIVED**"}
        for after, verdict in expected.items():
            assert rows.get(after, "").startswith(verdict), f"{after}: {rows.get(after)!r}\n{report}"
        assert len(rows) == 9, report  # the sample outnumbers the line's mutants: all of them
        assert "Kill rate: 2 of 8 = **25%**" in report, report
        # quick ran once alone, then once for each mutant that compiled: none twice on --resume.
        with open(os.path.join(repo, "out", "runs")) as f:
            assert len(f.read().split()) == 9, "a resumed run tested a mutant again"
        with open(os.path.join(repo, "out", "src", "room", "a.c")) as f:
            assert f.read() == SOURCE, "the scratch copy kept a mutant"

        # A new test, and the code moved a line down since the sample: the survivors are found
        # again by their text, and "return 4" is caught now.
        with open(os.path.join(repo, "room", "a.c"), "w") as f:
            f.write("// moved\n" + SOURCE)
        CONFIG["programs"]["quick"]["command"] += " && ! grep -q 'return 4' room/a.c"
        with open(os.path.join(repo, "c.json"), "w") as f:
            json.dump(CONFIG, f)
        report = run(repo, "--resume", "--retest-survivors")
        assert "| `return 4;` | caught by quick" in report and "Kill rate: 3 of 8" in report, report

        # Built in the 64-bit tree, whose object no mutant changes (code of the 32-bit width
        # alone): each is then built and tested in the 32-bit tree.
        CONFIG.update(tree="win64", objects="{tree}/**/*.obj", build=CONFIG["build"] + (
            ' && mkdir -p "$MUTATE_OUT/$MUTATE_TREE/room" && if [ "$MUTATE_TREE" = win32 ];'
            ' then cp room/a.c "$MUTATE_OUT/win32/room/a.c.obj"; else echo same >"$MUTATE_OUT/win64/room/a.c.obj"; fi'))
        with open(os.path.join(repo, "c.json"), "w") as f:
            json.dump(CONFIG, f)
        with open(os.path.join(repo, "room", "b.py"), "w") as f:
            f.write("x = 1\n")  # in no row of the plan: named, kept out of the rate, and the run fails
        report = run(repo, out="out64", status=1)
        assert "built and tested in win64" in report and "Kill rate: 3 of 8" in report, report
        assert "| `x = 2` | not covered" in report and "(3 not covered" in report, report
        assert "| `if (x != 3) return 7;` | caught by quick (in win32)" in report, report
    sys.path.insert(0, os.path.dirname(TOOL))  # a new file without its row fails here, not on a sample's day
    import mutants, mutate
    tracked = subprocess.run(["git", "ls-files", "--", *mutate.PROJECT["rooms"]], cwd=os.path.dirname(TOOL) + "/..",
                             check=True, capture_output=True, text=True).stdout.split()
    unnamed = [p for p in tracked if mutants.mutable(p) and p not in mutate.ITSELF and mutate.plan_row(mutate.PROJECT, p) is None]
    assert tracked and not unnamed, f"no row of mutate.py's plan names {unnamed}"
    print("test_mutate: caught, survived, not compiled, timed out, resumed and built in the other width as expected")


if __name__ == "__main__":
    main()
