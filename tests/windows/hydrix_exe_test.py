#!/usr/bin/env python3
"""hydrix.exe end to end under Wine.

The Windows hydrix.exe loads hydrix.dll and hydrix_runtime.dll and talks through Wine's
COM ports to the Linux station simulator: COM6 serves the built-in plant 12 to a
telegram-engine channel, COM7 station 7 to a v6 channel, and COM8 never answers. Every
read, the setpoint writes and the pump commands are compared with what the Linux hydrix
reads from the same built-in station model (its simulated stations), value for value;
the history, which the model makes for the hours before the station started, with what
the Linux hydrix reads from the very stations on COM6 and COM7 (time stamps included);
the written setpoints are read back; the silent station gives the time-out triple of
each engine. v6 stations that end frames with CR alone (COM9) and that stop in the middle
of a frame (COM10; COM11 alike for the Linux hydrix) give what they give on Linux, about
as quickly.

    hydrix_exe_test.py --run wine-run.sh --exe hydrix.exe --reference hydrix --work DIR
"""
import argparse
import datetime
import json
import os
import subprocess
import sys
import time

PROFILE = r"""[Driver]
Debug=0

[Chan0]
HYDRIXDefault=1
Nodes=12
Port=COM6

[Chan0\Node12]
PlantNumber=12

[Chan1]
HYDRIXDefault=0
DeviceName=SIM1
Nodes=7
Port=COM7

[Chan2]
HYDRIXDefault=1
Nodes=12
Retries=0
Port=COM8

[Chan2\Node12]
PlantNumber=12

[Chan3]
HYDRIXDefault=0
DeviceName=SIM3
Nodes=7
Retries=0
Port=COM8

[Chan4]
HYDRIXDefault=0
DeviceName=SIM4
Nodes=7
Port=COM9

[Chan5]
HYDRIXDefault=0
DeviceName=SIM5
Nodes=7
Retries=0
Port=COM10
"""


def linux_profile(com6, com7, com9, com11):
    """The Linux reference reads channels 0, 1 and 4 of the same profile, on the
    pseudo-terminals behind COM6, COM7 and COM9, and channel 5 on COM11's (a station like
    COM10's, untouched by hydrix.exe)."""
    both = PROFILE[PROFILE.index("[Chan0]"):PROFILE.index("[Chan2]")]
    v6 = PROFILE[PROFILE.index("[Chan4]"):]
    return (both + v6).replace("COM6", com6).replace("COM7", com7).replace("COM9", com9).replace("COM10", com11)


failures = []


def fail(case, text):
    failures.append(case)
    print(f"FAILED: {case}: {text}")


def records(stdout):
    out = []
    for line in stdout.splitlines():
        line = line.strip()
        if line:
            out.append(json.loads(line))
    return out


def without_times(recs):
    """The records without their time stamps: the time a value was read (and the model's
    history and alarm times, which follow the clock) differ between two runs."""
    return [{k: v for k, v in r.items() if k != "time"} for r in recs]


class Runner:
    def __init__(self, args):
        self.args = args
        self.seconds = 0.0  # how long the last program ran

    def timed(self, cmd, **kw):
        start = time.monotonic()
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=120, **kw)
        self.seconds = time.monotonic() - start
        return p.returncode, records(p.stdout), p.stderr

    def exe(self, command):
        return self.timed([self.args.run, self.args.exe, "--config", "e2e.ini", "--json"] + command,
                          cwd=self.args.work)

    def reference(self, command, same_stations=False):
        cmd = [self.args.reference, "--json"] + command
        if same_stations:
            cmd[1:1] = ["--config", f"{self.args.work}/e2e-linux.ini"]
        return self.timed(cmd)


def same_as_model(run, case, command):
    """hydrix.exe and the Linux hydrix on the model agree on every value; the records."""
    code, got, err = run.exe(command)
    ref_code, want, ref_err = run.reference(command)
    if code == ref_code == 0 and got and without_times(got) == without_times(want):
        return got
    fail(case, f"exit {code} (reference {ref_code})\n  hydrix.exe: {got}\n  {err.strip()}"
               f"\n  reference:  {want}\n  {ref_err.strip()}")
    return []


def same_as_station(run, case, command):
    """hydrix.exe and the Linux hydrix, one after the other on the same stations, agree on
    every record; the records."""
    code, got, err = run.exe(command)
    ref_code, want, ref_err = run.reference(command, same_stations=True)
    if code == ref_code == 0 and got and got == want:
        return got
    fail(case, f"exit {code} (reference {ref_code})\n  hydrix.exe: {got}\n  {err.strip()}"
               f"\n  reference:  {want}\n  {ref_err.strip()}")
    return []


def check_values(case, recs, want):
    got = [r["value"] for r in recs]
    if got != want:
        fail(case, f"values {got}, the model has {want}")


# Longest hydrix.exe may take beyond the Linux hydrix's time for the same read: Wine's
# start-up and its coarse clock. A receiver that waits for a byte that never comes takes
# a minute longer (until the station's next byte).
EXIT_MARGIN_S = 12.0


def windows_read_rules(run):
    """v6 stations whose frames end by silence, read where the port's reads follow Windows
    rules (an interval-only read with nothing arriving waits for its first byte for ever):
    hydrix.exe reads what the Linux hydrix reads, and exits about as soon."""
    # Frames ending with CR alone: the values of the model, as on the v6 station with LFs.
    command = ["picture", "-n", "7", "--picture", "1"]
    code, got, err = run.exe(command + ["-c", "4"])
    exe_s = run.seconds
    ref_code, want, ref_err = run.reference(command + ["-c", "4"], same_stations=True)
    ref_s = run.seconds
    _, model, _ = run.reference(command + ["-c", "1"])
    print(f"v6 picture, CR-only frames: hydrix.exe {exe_s:.1f} s, Linux hydrix {ref_s:.1f} s")
    # (The model's values come from another channel: the channel number is not compared.)
    def values(recs):
        return [{k: v for k, v in r.items() if k != "channel"} for r in without_times(recs)]

    if not (code == ref_code == 0 and got and values(got) == values(want) == values(model)):
        fail("v6 CR-only frames", f"exit {code} (reference {ref_code})\n  hydrix.exe: {got}\n  {err.strip()}"
                                  f"\n  reference:  {want}\n  {ref_err.strip()}\n  model: {model}")
    if exe_s > ref_s + EXIT_MARGIN_S:
        fail("v6 CR-only frames", f"hydrix.exe took {exe_s:.1f} s, the Linux hydrix {ref_s:.1f} s")

    # A station that stops in the middle of its reply: the same failure, no later.
    command = ["picture", "-c", "5", "-n", "7", "--picture", "1"]
    code, got, err = run.exe(command)
    exe_s = run.seconds
    ref_code, want, ref_err = run.reference(command, same_stations=True)
    ref_s = run.seconds
    print(f"v6 picture, station stopping mid-frame: hydrix.exe {exe_s:.1f} s, Linux hydrix {ref_s:.1f} s")
    # The error triples (the texts name the time each took).
    def triples(recs):
        return [r["error"] and (r["error"]["group"], r["error"]["code"], r["error"]["sub"]) for r in recs]

    errors = triples(got)
    if code != 1 or code != ref_code or not errors or not errors[0] or errors != triples(want):
        fail("v6 station stopping mid-frame", f"exit {code} (reference {ref_code})\n  hydrix.exe: {got}\n"
                                              f"  {err.strip()}\n  reference:  {want}\n  {ref_err.strip()}")
    if exe_s > ref_s + EXIT_MARGIN_S:
        fail("v6 station stopping mid-frame", f"hydrix.exe took {exe_s:.1f} s, the Linux hydrix {ref_s:.1f} s")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--run", required=True)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--reference", required=True)
    ap.add_argument("--work", required=True)
    run = Runner(ap.parse_args())
    if not os.access(run.args.reference, os.X_OK):
        print(f"FAILED: no Linux hydrix at {run.args.reference} (build the Linux side first, "
              "or give HYDRIX_LINUX_TOOL)")
        return 1
    with open(f"{run.args.work}/e2e.ini", "w") as f:
        f.write(PROFILE)
    # The Linux hydrix on the stations behind COM6 and COM7.
    with open(f"{run.args.work}/e2e-linux.ini", "w") as f:
        f.write(linux_profile(os.environ["HYDRIX_COM6"], os.environ["HYDRIX_COM7"], os.environ["HYDRIX_COM9"],
                              os.environ["HYDRIX_COM11"]))

    # History from one fixed moment for both readers, three hours back.
    history_from = (datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(hours=3)).strftime(
        "%Y-%m-%d %H:%MZ")

    # Reads, on both engines.
    for engine, channel, node in (("telegram", "0", "12"), ("v6", "1", "7")):
        where = ["-c", channel, "-n", node]
        pic = same_as_model(run, f"{engine} picture", ["picture"] + where + ["--picture", "1"])
        if engine == "telegram":
            # The built-in plant 12 shows 1, 2.5, 4, ... on picture 1.
            check_values("telegram picture 1 of plant 12", pic[:5], [1, 2.5, 4, 5.5, 7])
        same_as_model(run, f"{engine} report", ["report"] + where)
        same_as_model(run, f"{engine} setpoints", ["setpoints"] + where)
        hist = same_as_station(run, f"{engine} history", ["history"] + where + ["--from", history_from])
        if hist and any(r["error"] for r in hist):
            fail(f"{engine} history", "records with errors")
        alarms = same_as_model(run, f"{engine} alarms", ["alarms"] + where)
        if alarms and {r["value"] for r in alarms} != {"active", "cleared"}:
            fail(f"{engine} alarms", f"alarm states {[r['value'] for r in alarms]}")

    # A setpoint written, then read back; a pump command.
    for engine, channel, node, value in (("telegram", "0", "12", 4.5), ("v6", "1", "7", 6.5)):
        where = ["-c", channel, "-n", node]
        before = run.exe(["setpoints"] + where + ["--first", "2", "--count", "1"])[1]
        if before and before[0]["value"] == value:
            fail(f"{engine} setpoint 2", f"already {value} before the write: the test would prove nothing")
        wrote = same_as_model(run, f"{engine} write-setpoint",
                              ["write-setpoint"] + where + ["-s", "2", "--value", str(value)])
        check_values(f"{engine} write-setpoint", wrote, [value])
        after = run.exe(["setpoints"] + where + ["--first", "2", "--count", "1"])[1]
        check_values(f"{engine} setpoint 2 read back", after, [value])
        same_as_model(run, f"{engine} command", ["command", "start" if engine == "telegram" else "stop"] + where
                      + ["-m", "1"])

    # A station that never answers: each engine's time-out triple.
    for engine, channel, node, extra, triple in (("telegram", "2", "12", [], (20, 17666, 0)),
                                                 ("v6", "3", "7", ["--first", "1", "--count", "2"], (20, 83, 0))):
        code, recs, err = run.exe(["picture", "-c", channel, "-n", node, "--picture", "1"] + extra)
        errors = [r["error"] for r in recs]
        if code != 1 or len(errors) != 1 or not errors[0] or \
                (errors[0]["group"], errors[0]["code"], errors[0]["sub"]) != triple:
            fail(f"{engine} silent station", f"exit {code}, records {recs}, stderr {err.strip()}")

    windows_read_rules(run)

    if failures:
        print(f"{len(failures)} failed: {', '.join(failures)}")
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
