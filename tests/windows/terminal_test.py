#!/usr/bin/env python3
"""k24update.exe under Wine on a pseudo-terminal, end to end: the program runs
on a terminal of its own, each key is typed once its prompt has appeared, and
the whole output, the exit code and (with the recorder model) what the
recorder holds afterwards are checked.

    terminal_test.py WINE_RUN SCENARIO PROGRAM

Scenarios: no-recorder (k24update.exe with no driver: the wait, then Esc),
flash-path-update (k24update_model.exe, whose driver is answered by the
recorder model: a recorder with boot loader 1.0, updated through the boot
loader upgrade by flash programming).

Wine's console draws on the terminal with escape sequences (cursor shown and
hidden), which are taken out before comparing; the program's standard output is
in text mode ("\\n" goes out as "\\r\\n") and the terminal adds a "\\r" before
each "\\n" again.
"""
import os
import pty
import re
import select
import sys
import tempfile
import termios
import time

ESCAPE_SEQUENCES = re.compile(rb"\x1b(\[[0-?]*[ -/]*[@-~]|\][^\x07\x1b]*(\x07|\x1b\\)|[()][0-9A-Za-z]|[=>])")

BANNER = "Orvo Lumo K24 Firmware Updater version 1.0\n\n"
REPORT_1_0 = ("Device is connected.\n"
              "Current Boot Loader version: 1.0\n"
              "Current firmware version: 1.2\n"
              "Serial number: ABCDE12345\n"
              "Press 'Y' to load firmware version 2.0 or other key to exit.\n"
              "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
              "Press 'L' to confirm load or other key to exit.\n")
UPGRADE_FROM_1_0 = ("\nIt is necessary to upgrade Boot Loader before firmware loading.\n"
                    "Press 'Y' to upgrade Boot Loader 1.0 to version 1.2 or other key to exit.\n"
                    "Replacing Boot Loader...OK\n")
FIRMWARE_REPLACED = "Replacing firmware...OK\nPress any key to exit...\n"

SCENARIOS = {
    "no-recorder": {
        "keys": [("press Esc to exit.", b"\x1b")],
        "output": BANNER + "Device is not connected.\nConnect device to continue or press Esc to exit.\n",
        "exit_code": 0,
        "state": None,
    },
    "flash-path-update": {
        "environment": {"K24_MODEL_BOOT_LOADER": "0100", "K24_MODEL_FIRMWARE": "0102",
                        "K24_MODEL_SERIAL": "ABCDE12345"},
        "keys": [("Press 'Y' to load", b"Y"), ("Press 'L'", b"L"), ("Press 'Y' to upgrade", b"Y"),
                 ("Press any key", b"x")],
        "output": BANNER + REPORT_1_0 + UPGRADE_FROM_1_0 + FIRMWARE_REPLACED,
        "exit_code": 0,
        "state": {"boot-loader-version": "1.2", "firmware-version": "2.0", "serial-number": "ABCDEW12345",
                  "image-region": "the sample firmware image", "open-handles": "0"},
        # The lines the run's record in the update history holds
        # (%LOCALAPPDATA%\\k24update\\history.log, read back with --history).
        "record": ["serial-number: ABCDE12345", "boot-loader-before: 1.0", "firmware-before: 1.2",
                   "step: boot-loader-program-replacer: ok", "step: firmware-write: ok",
                   "boot-loader-after: 1.2", "firmware-after: 2.0", "outcome: updated"],
    },
}


def on_terminal(program_text):
    """What the terminal shows of `program_text` once escape sequences are out:
    Wine's console draws lines on the terminal, where a carriage return just
    before a line's end changes nothing, and each line ends in "\r\r\n"."""
    return program_text.replace("\r\n", "\n").replace("\n", "\r\r\n").encode()


def run(command, environment, keys, timeout_s=120):
    pid, fd = pty.fork()
    if pid == 0:
        attributes = termios.tcgetattr(0)
        attributes[3] &= ~termios.ECHO  # only the program's console shows what it wants shown
        termios.tcsetattr(0, termios.TCSANOW, attributes)
        os.environ.update(environment)
        os.execv(command[0], command)
    raw = b""
    next_key = 0
    searched_from = 0
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                data = os.read(fd, 4096)
            except OSError:  # the program and its console have gone
                data = b""
            if not data:
                break
            raw += data
        if next_key < len(keys):
            text = ESCAPE_SEQUENCES.sub(b"", raw)
            prompt, key = keys[next_key]
            found = text.find(prompt.encode(), searched_from)
            if found >= 0:
                searched_from = found + len(prompt)
                os.write(fd, key)
                next_key += 1
    else:
        os.kill(pid, 9)
        print("the program did not end in time", file=sys.stderr)
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return ESCAPE_SEQUENCES.sub(b"", raw), os.waitstatus_to_exitcode(status), next_key


def history(wine_run, program):
    """What `program --history` prints (nothing when there is no history yet),
    with Windows's line ends made Unix's again."""
    import subprocess
    done = subprocess.run([wine_run, program, "--history"], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=60)
    return done.stdout.decode(errors="replace").replace("\r\n", "\n")


def main():
    wine_run, name, program = sys.argv[1:4]
    scenario = SCENARIOS[name]
    failures = []
    with tempfile.TemporaryDirectory() as directory:
        state_file = os.path.join(directory, "state")
        environment = dict(scenario.get("environment", {}))
        environment["K24_EMULATED_RECORDER"] = "1"
        environment["K24_TEST_LOCK_NAME"] = "k24-terminal-test-%d" % os.getpid()
        environment["K24_MODEL_STATE"] = "Z:" + state_file
        history_before = history(wine_run, program) if "record" in scenario else ""
        output, exit_code, keys_typed = run([wine_run, program], environment, scenario["keys"])
        print("--- output (escape sequences taken out):")
        print(output.decode(errors="replace").replace("\r", ""), end="")
        print("--- exit code %d" % exit_code)
        if keys_typed != len(scenario["keys"]):
            failures.append("only %d of %d keys were asked for" % (keys_typed, len(scenario["keys"])))
        expected = on_terminal(scenario["output"])
        if output != expected:
            failures.append("output differs:\n  got      %r\n  expected %r" % (output, expected))
        if exit_code != scenario["exit_code"]:
            failures.append("exit code %d, expected %d" % (exit_code, scenario["exit_code"]))
        if scenario["state"] is not None:
            state = {}
            if os.path.exists(state_file):
                with open(state_file) as lines:
                    for line in lines:
                        field, _, value = line.rstrip("\n").partition(": ")
                        state[field] = value
            print("--- the recorder now holds:")
            for field, value in state.items():
                print("%s: %s" % (field, value))
            for field, value in scenario["state"].items():
                if state.get(field) != value:
                    failures.append("%s is %r, expected %r" % (field, state.get(field), value))
        if "record" in scenario:
            history_after = history(wine_run, program)
            if not history_after.startswith(history_before):
                failures.append("the update history lost what it held before the run")
            record = history_after[len(history_before):]
            print("--- the run's record in the update history:")
            print(record, end="")
            lines = record.split("\n")
            if not record.startswith("run: ") or not record.endswith("\n\n") or record.count("\nrun: ") != 0:
                failures.append("not one whole record was appended: %r" % record)
            for line in scenario["record"]:
                if line not in lines:
                    failures.append("the record has no line %r" % line)
    for failure in failures:
        print("FAILED: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
