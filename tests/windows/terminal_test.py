#!/usr/bin/env python3
"""k24update.exe under Wine on a pseudo-terminal, end to end: the program runs
on a terminal of its own, each key is typed once its prompt has appeared, and
the whole output, the exit code and (with the recorder model) what the
recorder holds afterwards are checked.

    terminal_test.py WINE_RUN SCENARIO PROGRAM

Scenarios: no-recorder (k24update.exe with no driver: the wait, then Esc),
flash-path-update (k24update_model.exe, whose drivers are answered by the
recorder model: a recorder with boot loader 1.0 on the EZ-USB driver, updated
through the boot loader upgrade by flash programming), flash-path-trace (the same update with
--trace: tshark, named by K24_TSHARK, decodes every record of the capture the
Windows build wrote, and its requests are those the recorder model took),
two-recorders (two recorders the EZ-USB driver cannot tell apart at the
connection: nothing is sent to either, then Esc), second-recorder-during-update
(a second recorder appears in the middle of the boot loader's programming: the
requests after it fail, nothing reaches it, and the upgrade ends "Failed"); and on WinUSB:
winusb-update (the flash-path update of a recorder bound to WinUSB; its
request log is shown), winusb-no-driver (a 10c4:4512 that Windows lists with
no driver: the hint on standard error, once, then Esc), mixed-two-recorders
(one recorder on each driver: two recorders, nothing sent), winusb-two-places
(two WinUSB recorders, told by their places), winusb-list (--list of those
two), winusb-path-update (--path chooses the second one, which is updated
while the first gets nothing).

Wine's console draws on the terminal with escape sequences (cursor shown and
hidden), which are taken out before comparing; it ends each line it draws with
"\\r\\n" (the program writes its own bytes, "\\n" or the WARNING line's
"\\r\\n", in binary mode), and the terminal adds a "\\r" before each "\\n" again.
"""
import fcntl
import os
import pty
import re
import select
import struct
import sys
import tempfile
import termios
import time

ESCAPE_SEQUENCES = re.compile(rb"\x1b(\[[0-?]*[ -/]*[@-~]|\][^\x07\x1b]*(\x07|\x1b\\)|[()][0-9A-Za-z]|[=>])")
# Where a character written alone is a space on a blank row, Wine's console
# clears the rest of the row and moves the cursor on instead of writing it
# ("\x1b[K\x1b[1C"): on the terminal that is the space.
CURSOR_FORWARD = re.compile(rb"(?:\x1b\[K)?\x1b\[([0-9]*)C")


def shown(raw):
    """The text the terminal shows of `raw`: moves forward as the spaces they
    leave, every other escape sequence taken out."""
    spaces = CURSOR_FORWARD.sub(lambda match: b" " * int(match.group(1) or b"1"), raw)
    return ESCAPE_SEQUENCES.sub(b"", spaces)


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
UNTOUCHED_SECOND = {"second-boot-loader-version": "1.0", "second-firmware-version": "1.2",
                    "second-serial-number": "ZZZZZ99999", "second-control-requests": "0",
                    "second-image-region": "other data (from 0x0000)"}

WINUSB_PORT_1 = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"
WINUSB_PORT_2 = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"
NO_DRIVER_HINT = ("k24update: a recorder (USB 10c4:4512) is plugged in, but no driver that k24update can use has it.\n"
                  "k24update: on Windows 10 and 11 bind WinUSB to it with Zadig, as README.txt beside k24update.exe\n"
                  "says under \"1. The driver\" (once per PC); on older Windows install the EZ-USB driver.\n")
UPDATE_KEYS = [("Press 'Y' to load", b"Y"), ("Press 'L'", b"L"), ("Press 'Y' to upgrade", b"Y"), ("Press any key", b"x")]
UPDATED_RECORD = ["serial-number: ABCDE12345", "boot-loader-before: 1.0", "firmware-before: 1.2",
                  "step: boot-loader-program-replacer: ok", "step: firmware-write: ok",
                  "boot-loader-after: 1.2", "firmware-after: 2.0", "outcome: updated"]
WINUSB_CLOSED = {"winusb-open": "0", "winusb-untimed-transfers": "0", "open-handles": "0"}
TWO_ON_WINUSB = {"K24_MODEL_DRIVER": "winusb", "K24_MODEL_SECOND": "present", "K24_MODEL_SECOND_DRIVER": "winusb"}

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
    "two-recorders": {
        "environment": {"K24_MODEL_SECOND": "present"},
        "keys": [("press Esc to exit.", b"\x1b")],
        "output": BANNER + "2 recorders are connected.\n"
                           "Disconnect all but the one to update, or press Esc to exit.\n",
        "exit_code": 0,
        "state": dict({"control-requests": "0", "firmware-version": "1.2", "open-handles": "0"}, **UNTOUCHED_SECOND),
    },
    # Request 50 is in the middle of the replacer's 189: from the next one on,
    # every request finds two recorders and none is sent.
    "second-recorder-during-update": {
        "environment": {"K24_MODEL_BOOT_LOADER": "0100", "K24_MODEL_SECOND": "requests:50"},
        "keys": [("Press 'Y' to load", b"Y"), ("Press 'L'", b"L"), ("Press 'Y' to upgrade", b"Y"),
                 ("Press any key", b"x")],
        "output": BANNER + REPORT_1_0 + UPGRADE_FROM_1_0.replace("OK\n", "Failed\nPress any key to exit.\n"),
        "exit_code": 0,
        "state": dict({"control-requests": "50", "boot-loader-version": "1.0", "open-handles": "0",
                       "second-on-bus": "yes"}, **UNTOUCHED_SECOND),
        "record": ["step: boot-loader-program-replacer: failed: request-failed",
                   "request-result: more than one recorder, not told apart, nothing sent",
                   "outcome: boot-loader-upgrade-failed"],
    },
    "winusb-update": {
        "environment": {"K24_MODEL_DRIVER": "winusb", "K24_MODEL_BOOT_LOADER": "0100", "K24_MODEL_FIRMWARE": "0102",
                        "K24_MODEL_SERIAL": "ABCDE12345"},
        "keys": UPDATE_KEYS,
        "output": BANNER + REPORT_1_0 + UPGRADE_FROM_1_0 + FIRMWARE_REPLACED,
        "exit_code": 0,
        "state": dict({"boot-loader-version": "1.2", "firmware-version": "2.0", "serial-number": "ABCDEW12345",
                       "image-region": "the sample firmware image"}, **WINUSB_CLOSED),
        "record": UPDATED_RECORD,
        "log_place": WINUSB_PORT_1,
    },
    "winusb-no-driver": {
        "environment": {"K24_MODEL_DRIVER": "none", "K24_MODEL_UNSERVED": "none"},
        "keys": [("install the EZ-USB driver.", b"\x1b")],
        "output": BANNER + "Device is not connected.\nConnect device to continue or press Esc to exit.\n"
                  + NO_DRIVER_HINT,
        "exit_code": 0,
        "state": dict({"control-requests": "0", "winusb-create-file-calls": "0"}, **WINUSB_CLOSED),
    },
    "mixed-two-recorders": {
        "environment": {"K24_MODEL_SECOND": "present", "K24_MODEL_SECOND_DRIVER": "winusb"},
        "keys": [("press Esc to exit.", b"\x1b")],
        "output": BANNER + "2 recorders are connected.\n"
                           "Disconnect all but the one to update, or press Esc to exit.\n",
        "exit_code": 0,
        "state": dict({"control-requests": "0"}, **WINUSB_CLOSED, **UNTOUCHED_SECOND),
    },
    "winusb-two-places": {
        "environment": TWO_ON_WINUSB,
        "keys": [("shows each one's versions and serial number).", b"\x1b")],
        "output": BANNER + "2 recorders are connected, at %s and %s.\n"
                           "Disconnect all but the one to update, or press Esc and start k24update again with --path\n"
                           "and the place of the one to update (k24update --list shows each one's versions and serial"
                           " number).\n" % (WINUSB_PORT_1, WINUSB_PORT_2),
        "exit_code": 0,
        "state": dict({"control-requests": "0"}, **WINUSB_CLOSED, **UNTOUCHED_SECOND),
    },
    "winusb-list": {
        "environment": TWO_ON_WINUSB,
        "arguments": ["--list"],
        "keys": [],
        "output": "%s: boot loader 1.0, firmware 1.2, serial number ABCDE12345\n"
                  "%s: boot loader 1.0, firmware 1.2, serial number ZZZZZ99999\n" % (WINUSB_PORT_1, WINUSB_PORT_2),
        "exit_code": 0,
        "state": dict({"firmware-version": "1.2", "second-firmware-version": "1.2"}, **WINUSB_CLOSED),
    },
    "winusb-path-update": {
        "environment": TWO_ON_WINUSB,
        "arguments": ["--path", WINUSB_PORT_2],
        "keys": UPDATE_KEYS,
        "output": BANNER + REPORT_1_0.replace("ABCDE12345", "ZZZZZ99999") + UPGRADE_FROM_1_0 + FIRMWARE_REPLACED,
        "exit_code": 0,
        "state": dict({"control-requests": "0", "firmware-version": "1.2", "second-boot-loader-version": "1.2",
                       "second-firmware-version": "2.0", "second-serial-number": "ZZZZZW99999",
                       "second-image-region": "the sample firmware image"}, **WINUSB_CLOSED),
        "log_place": WINUSB_PORT_2,
    },
}
SCENARIOS["flash-path-trace"] = dict(SCENARIOS["flash-path-update"], trace=True)
del SCENARIOS["flash-path-trace"]["record"]


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
        # Wide enough for the longest line (a place is long on Windows), so
        # that Wine's console draws none of them over two rows.
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
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
            text = shown(raw)
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
    return shown(raw), os.waitstatus_to_exitcode(status), next_key


def clear_history(wine_run):
    """Removes the update history of the Wine prefix that `wine_run` runs in
    (%LOCALAPPDATA%\\k24update\\history.log, which Wine sets from the prefix
    whatever the environment says): each run starts from none, so that an
    earlier run ended while it wrote (a test killed midway) cannot add the next
    run's line about it to the output."""
    import glob
    import re as regex
    with open(wine_run) as script:
        found = regex.search(r"^WINEPREFIX='([^']*)'", script.read(), regex.MULTILINE)
    if not found:
        raise RuntimeError("no WINEPREFIX in " + wine_run)
    for path in glob.glob(os.path.join(found.group(1), "drive_c", "users", "*", "AppData", "Local", "k24update",
                                       "history.log")):
        os.remove(path)


def history(wine_run, program):
    """What `program --history` prints (nothing when there is no history yet),
    with Windows's line ends made Unix's again."""
    import subprocess
    done = subprocess.run([wine_run, program, "--history"], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=60)
    return done.stdout.decode(errors="replace").replace("\r\n", "\n")


def tshark_rows(capture, fields, display_filter=None):
    """tshark's fields of each frame of `capture`, one list per frame."""
    import subprocess
    command = [os.environ["K24_TSHARK"], "-r", capture, "-T", "fields", "-E", "separator=/t"]
    for field in fields:
        command += ["-e", field]
    if display_filter:
        command += ["-Y", display_filter]
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError("tshark could not read %s: %s" % (capture, done.stderr.decode(errors="replace")))
    return [line.split("\t") for line in done.stdout.decode().splitlines()]


def check_trace(capture, requests_file, state, failures):
    """The trace holds every transfer the recorder model took, as tshark
    decodes it; the EZ-USB driver tells no addresses, so the trace numbers the
    recorder's appearances: one more after each restart it came back from."""
    if not os.path.exists(os.environ.get("K24_TSHARK", "")):
        failures.append("tshark is missing: scripts/setup.sh installs it (Debian package tshark)")
        return
    if not os.path.exists(capture):
        failures.append("no trace was written")
        return
    undecoded = tshark_rows(capture, ["frame.number"], '!usb || _ws.malformed || _ws.expert.severity >= "error"')
    if undecoded:
        failures.append("tshark did not decode %d frames" % len(undecoded))
    rows = tshark_rows(capture, ["usb.urb_id", "usb.urb_type", "usb.transfer_type", "usb.endpoint_address",
                                 "usb.bmRequestType", "usb.setup.bRequest", "usb.setup.wValue", "usb.setup.wLength",
                                 "usb.urb_status", "usb.urb_len", "usb.device_address"])
    ended_ok = {row[0]: row[8] == "0" for row in rows if row[1] == "'C'"}
    lines = []
    for row in rows:
        if row[1] != "'S'":
            continue
        ok = "ok" if ended_ok.get(row[0]) else "FAILED"
        inward = int(row[3], 16) & 0x80
        if row[2] == "0x02":
            lines.append("%s 0x%02X value=0x%04X len=%d %s\n" % ("in " if inward else "out", int(row[5]),
                                                                  int(row[6], 16), int(row[7]), ok))
        else:
            lines.append("bulk-%s len=%d %s\n" % ("in" if inward else "out", int(row[9]), ok))
    with open(requests_file) as taken:
        expected = taken.read()
    if "".join(lines) != expected:
        failures.append("the trace's requests differ from the recorder's:\n%s\nagainst\n%s" %
                        ("".join(lines), expected))
    if len(rows) != 2 * expected.count("\n"):
        failures.append("%d records for %d transfers" % (len(rows), expected.count("\n")))
    appearances = sorted({int(row[10]) for row in rows})
    # The last request is a restart the recorder does not come back from in the trace.
    if appearances != list(range(1, int(state.get("restarts", "0")) + 1)):
        failures.append("device numbers %s for %s restarts" % (appearances, state.get("restarts")))
    print("--- the trace: %d records, devices %s" % (len(rows), appearances))


def main():
    wine_run, name, program = sys.argv[1:4]
    scenario = SCENARIOS[name]
    failures = []
    with tempfile.TemporaryDirectory() as directory:
        state_file = os.path.join(directory, "state")
        log_file = os.path.join(directory, "bus.log")
        environment = dict(scenario.get("environment", {}))
        environment["K24_EMULATED_RECORDER"] = "1"
        environment["K24_MODEL_STATE"] = "Z:" + state_file
        requests_file = os.path.join(directory, "requests.log")
        environment["K24_MODEL_REQUESTS"] = "Z:" + requests_file
        environment["K24_MODEL_LOG"] = "Z:" + log_file
        trace_file = os.path.join(directory, "trace.pcap")
        arguments = ["--trace", "Z:" + trace_file] if scenario.get("trace") else []
        clear_history(wine_run)
        arguments += scenario.get("arguments", [])
        history_before = history(wine_run, program) if "record" in scenario else ""
        output, exit_code, keys_typed = run([wine_run, program] + arguments, environment, scenario["keys"])
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
        state = {}
        if scenario["state"] is not None:
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
        if scenario.get("trace"):
            check_trace(trace_file, requests_file, state, failures)
        if "log_place" in scenario:
            # Every request of the run went to the recorder at that place.
            with open(log_file) as log:
                requests = log.read().splitlines()
            print("--- the request log (%d lines):" % len(requests))
            print("\n".join(requests))
            if not requests:
                failures.append("the request log is empty")
            for line in requests:
                if not line.startswith(scenario["log_place"] + " "):
                    failures.append("a request went elsewhere: %r" % line)
                    break
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
