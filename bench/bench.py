#!/usr/bin/env python3
"""Measures what one patch run costs, for Pitmix and for the floor program.

Both patch fresh copies of the same GP3 sample with three percentages. For
each the benchmark prints the instructions of one run (callgrind), the
median wall time over interleaved runs, the peak resident memory, and the
system calls on the file (strace -c); then the Pitmix/floor ratios.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import time

PERCENTAGES = ["25", "50", "75"]


def fresh_copy(sample, folder):
    path = os.path.join(folder, "setup.bin")
    shutil.copyfile(sample, path)
    return path


def instructions(program, sample, folder):
    path = fresh_copy(sample, folder)
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", program, path]
                         + PERCENTAGES, capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", out.stderr).group(1))


def file_calls(program, sample, folder):
    path = fresh_copy(sample, folder)
    log = os.path.join(folder, "strace.log")
    subprocess.run(["strace", "-c", "-P", path, "-o", log, program, path] + PERCENTAGES,
                   stdout=subprocess.DEVNULL, check=True)
    calls = {}
    for line in open(log):
        fields = line.split()
        # rows: % time, seconds, usecs/call, calls, [errors,] syscall
        if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
            calls[fields[-1]] = int(fields[3])
    return calls


def children(parent):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                # the parent's pid is the second field after the command name
                if entry.isdigit() and int(stat.read().rsplit(")", 1)[1].split()[1]) == parent:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


def peak_rss(program, sample, folder):
    """Peak resident memory in KiB, read from /proc while strace holds the
    program at its final exit call. (A spawned child's ru_maxrss would count
    the memory of the process that spawned it.)"""
    path = fresh_copy(sample, folder)
    tracer = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e", "trace=exit_group", "-e",
                               "inject=exit_group:delay_enter=300000", program, path] + PERCENTAGES,
                              stdout=subprocess.DEVNULL)
    peak = 0
    while tracer.poll() is None:
        for child in children(tracer.pid):
            try:
                with open(f"/proc/{child}/status") as status:
                    peak = max([peak] + [int(line.split()[1]) for line in status if line.startswith("VmHWM:")])
            except OSError:
                pass
        time.sleep(0.01)
    return peak


def timed_run(program, path):
    """Wall time of one run in microseconds."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter_ns()
    pid = os.posix_spawn(program, [program, path] + PERCENTAGES, os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status = os.waitpid(pid, 0)
    elapsed = (time.perf_counter_ns() - start) / 1000
    os.close(devnull)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{program} failed")
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--pitmix", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--runs", type=int, default=301)
    args = parser.parse_args()
    programs = {"Pitmix": args.pitmix, "floor": args.floor}

    with tempfile.TemporaryDirectory() as folder:
        results = {name: {"instructions": instructions(p, args.sample, folder),
                          "calls": file_calls(p, args.sample, folder),
                          "rss": peak_rss(p, args.sample, folder), "times": []}
                   for name, p in programs.items()}
        # Interleave, alternating which goes first, so drift hits both alike.
        for run in range(args.runs):
            order = list(programs.items()) if run % 2 == 0 else list(programs.items())[::-1]
            for name, program in order:
                results[name]["times"].append(timed_run(program, fresh_copy(args.sample, folder)))

    for name, r in results.items():
        calls = ", ".join(f"{call} {count}" for call, count in sorted(r["calls"].items()))
        print(f"{name:7} {r['instructions']:>10,} instructions  {statistics.median(r['times']):8.1f} us median"
              f"  {r['rss']:>6} KiB peak RSS  {os.path.getsize(programs[name]):>8,} bytes"
              f"  file calls: {sum(r['calls'].values())} ({calls})")
    p, f = results["Pitmix"], results["floor"]
    print(f"Pitmix/floor: instructions {p['instructions'] / f['instructions']:.3f}x, "
          f"median wall time {statistics.median(p['times']) / statistics.median(f['times']):.3f}x "
          f"over {args.runs} interleaved runs each")


if __name__ == "__main__":
    main()
