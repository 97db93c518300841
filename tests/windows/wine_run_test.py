#!/usr/bin/env python3
"""wine-run against a stand-in for Wine: Wine started unrandomized, and a
test program run once more only when Wine, not the program, ended it.

    wine_run_test.py WINE_RUN_IN

WINE_RUN_IN is cmake/wine-run.in. Each case writes it out as CMake would,
with a Wine whose runs of the "program" follow a script: one line per run,
"STATUS OUTPUT" (OUTPUT may be empty; \\n stands for a line end;
"personality" prints the run's personality flags, as Linux shows them). The
stand-in's server says one is running, so no services are started. A case
checks what wine-run printed, its exit status, how often the program ran and
what the log of runs done again holds.
"""
import os
import subprocess
import sys
import tempfile

FAKE_WINE = r"""#!/bin/sh
# wineboot: the prefix is already made and the server already runs
[ "$1" = wineboot ] && exit 0
dir="$(dirname "$0")"
run=$(( $(cat "$dir/runs") + 1 ))
echo "$run" >"$dir/runs"
line=$(sed -n "${run}p" "$dir/script")
status=${line%% *}
output=${line#* }
[ "$output" = "$line" ] && output=
if [ "$output" = personality ]; then
  cat /proc/self/personality
else
  printf "$output"
fi
exit "$status"
"""

FAKE_SERVER = "#!/bin/sh\nexit 2\n"  # wineserver -p: one is running already

LD_SO = "Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion `ns != LM_ID_BASE || i == nloaded' failed!\\n"

# name, the program's runs, environment opt-in, expected output, exit status, runs, logged runs again
CASES = [
    ("passes", ["0 [  PASSED  ] 1 test.\\n"], True, "[  PASSED  ] 1 test.\n", 0, 1, 0),
    ("fails_with_words", ["1 [  FAILED  ] 1 test\\n"], True, "[  FAILED  ] 1 test\n", 1, 1, 0),
    ("silent_end_then_passes", ["1", "0 [  PASSED  ]\\n"], True,
     "wine-run: Wine ended PROGRAM with exit status 1 before writing anything: it is run once more\n"
     "[  PASSED  ]\n", 0, 2, 1),
    ("silent_end_twice", ["1", "3"], True,
     "wine-run: Wine ended PROGRAM with exit status 1 before writing anything: it is run once more\n"
     "wine-run: Wine ended PROGRAM with exit status 3 before writing anything, again\n", 3, 2, 1),
    ("silent_end_then_fails_with_words", ["1", "1 [  FAILED  ]\\n"], True,
     "wine-run: Wine ended PROGRAM with exit status 1 before writing anything: it is run once more\n"
     "[  FAILED  ]\n", 1, 2, 1),
    ("ld_so_at_the_end_then_passes", ["127 [  PASSED  ]\\n" + LD_SO, "0 [  PASSED  ]\\n"], True,
     "[  PASSED  ]\n" + LD_SO.replace("\\n", "\n") +
     "wine-run: Wine ended PROGRAM with exit status 127 in ld.so as the program ended: it is run once more\n"
     "[  PASSED  ]\n", 0, 2, 1),
    ("status_127_of_its_own", ["127 not found\\n"], True, "not found\n", 127, 1, 0),
    ("silent_end_without_the_opt_in", ["1", "0 [  PASSED  ]\\n"], False, "", 1, 1, 0),
    # Wine starts with its address space unrandomized (ADDR_NO_RANDOMIZE), with or without the opt-in
    ("unrandomized", ["0 personality"], True, "00040000\n", 0, 1, 0),
    ("unrandomized_without_the_opt_in", ["0 personality"], False, "00040000\n", 0, 1, 0),
]


def run_case(template, case):
    name, script, opted_in, expected_output, expected_status, expected_runs, expected_logged = case
    with tempfile.TemporaryDirectory() as work:
        wine = os.path.join(work, "wine")
        server = os.path.join(work, "wineserver")
        prefix = os.path.join(work, "prefix")
        os.mkdir(prefix)
        open(os.path.join(prefix, ".k24-ready"), "w").close()
        for path, text in ((wine, FAKE_WINE), (server, FAKE_SERVER)):
            with open(path, "w") as out:
                out.write(text)
            os.chmod(path, 0o755)
        with open(os.path.join(work, "runs"), "w") as out:
            out.write("0\n")
        with open(os.path.join(work, "script"), "w") as out:
            out.write("\n".join(script) + "\n")
        wine_run = os.path.join(work, "wine-run")
        with open(wine_run, "w") as out:
            out.write(template.replace("@K24_WINE_PREFIX@", prefix).replace("@K24_WINE@", wine)
                      .replace("@K24_WINESERVER@", server))
        os.chmod(wine_run, 0o755)
        environment = dict(os.environ)
        environment.pop("K24_WINE_RUN_AGAIN_IF_SILENT", None)
        if opted_in:
            environment["K24_WINE_RUN_AGAIN_IF_SILENT"] = "1"
        done = subprocess.run([wine_run, "PROGRAM", "--gtest_filter=X"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment, timeout=60)
        with open(os.path.join(work, "runs")) as runs_file:
            runs = int(runs_file.read())
        log = os.path.join(work, "prefix.runs-again.log")
        logged = open(log).read().splitlines() if os.path.exists(log) else []
        leftovers = sorted(entry for entry in os.listdir(work) if entry.startswith("prefix."))
        failures = []
        if done.stdout.decode() != expected_output:
            failures.append("output %r, expected %r" % (done.stdout.decode(), expected_output))
        if done.returncode != expected_status:
            failures.append("exit status %d, expected %d" % (done.returncode, expected_status))
        if runs != expected_runs:
            failures.append("%d runs, expected %d" % (runs, expected_runs))
        if len(logged) != expected_logged or any("PROGRAM --gtest_filter=X : exit status" not in line
                                                  for line in logged):
            failures.append("log of runs again: %r" % logged)
        if leftovers not in ([], ["prefix.lock"], ["prefix.lock", "prefix.runs-again.log"],
                             ["prefix.runs-again.log"]):
            failures.append("left behind: %r" % leftovers)
        return ["%s: %s" % (name, failure) for failure in failures]


def main():
    with open(sys.argv[1]) as template_file:
        template = template_file.read()
    failures = []
    for case in CASES:
        failures += run_case(template, case)
    for failure in failures:
        print(failure)
    print("%d cases, %d failures" % (len(CASES), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
