#!/usr/bin/python3
"""Runs a group of GoogleTest cases as one ctest test, several at a time.

  gtest_group.py --jobs N [--timeout S] BINARY FILTER

Most cases of the groups this is used for spend their time waiting: on a
server's pauses, on the deadlines they provoke, on the library's pauses
after a close (which are taken inside a lock that every channel of one
process shares). One process per case, several at once, lets those waits
overlap where ctest's own -j2 would run them two by two.

Lists the cases that FILTER (a --gtest_filter expression) selects, runs
each in a process of its own with --gtest_filter naming it alone, at most N
at once, and prints one line per case (its result and seconds), followed by
the whole output of every case that failed. Exits 0 when every case passed
or was skipped, 1 otherwise, 2 when the filter selects nothing.
"""
import argparse
import concurrent.futures
import subprocess
import sys
import time


def list_cases(binary, pattern):
    out = subprocess.run([binary, "--gtest_list_tests", "--gtest_filter=" + pattern],
                         capture_output=True, text=True, timeout=120, check=True).stdout
    cases, suite = [], None
    for line in out.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        else:
            cases.append(suite + line.split("#")[0].strip())
    return cases


def run_case(binary, name, timeout):
    t0 = time.monotonic()
    try:
        r = subprocess.run([binary, "--gtest_color=no", "--gtest_filter=" + name],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, errors="replace", timeout=timeout)
        out, status = r.stdout, r.returncode
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        out, status = out + "\n(no end within %d s)\n" % timeout, -1
    seconds = time.monotonic() - t0
    if status != 0:
        verdict = "FAILED"
    elif "[  SKIPPED ]" in out:
        verdict = "skipped"
    else:
        verdict = "passed"
    return verdict, seconds, out


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--jobs", type=int, default=4)
    ap.add_argument("--timeout", type=int, default=300, help="seconds for each case")
    ap.add_argument("binary")
    ap.add_argument("filter")
    args = ap.parse_args(argv)
    cases = list_cases(args.binary, args.filter)
    if not cases:
        print("no test matches %s" % args.filter)
        return 2
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        futures = [(name, pool.submit(run_case, args.binary, name, args.timeout)) for name in cases]
        results = [(name, fut.result()) for name, fut in futures]
    failed = [(name, out) for name, (verdict, _, out) in results if verdict == "FAILED"]
    for name, (verdict, seconds, _) in results:
        print("%-8s %7.2f s  %s" % (verdict, seconds, name))
    for name, out in failed:
        print("\n==== %s ====\n%s" % (name, out))
    print("%d cases, %d failed" % (len(results), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
