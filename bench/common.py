"""Shared helpers of the benchmarks: machine header, median timing, Markdown tables."""

import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time


REPO = pathlib.Path(__file__).resolve().parents[1]


def machine_header(title, sizes):
    """Prints what the numbers were measured on, before any number."""
    cpu = platform.processor() or platform.machine()
    try:
        for line in open("/proc/cpuinfo", encoding="utf-8"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    print(f"## {title}\n")
    print(f"- machine: {cpu}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}")
    print(f"- python: {sys.version.split()[0]}")
    try:
        import morvend

        rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
        # the installed module may be built from a work tree that differs from HEAD
        dirty = subprocess.run(
            ["git", "status", "--porcelain", "--", "src"], capture_output=True, text=True, cwd=REPO
        ).stdout.strip()
        built = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(os.path.getmtime(morvend.__file__)))
        note = f" + uncommitted changes in src/, module built {built}" if dirty else f", module built {built}"
        print(f"- morvend: {rev or 'unknown revision'}{note}")
    except ImportError:
        pass
    print(f"- sizes: {sizes}\n")


def median_time(fn, repeat=5, min_time=0.0):
    """Median wall time of fn() over `repeat` runs (each at least once)."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
        if min_time and sum(times) > min_time * repeat:
            break
    return statistics.median(times)


def table(headers, rows):
    """Prints a Markdown table."""
    print("| " + " | ".join(headers) + " |")
    print("|" + "|".join("---" for _ in headers) + "|")
    for row in rows:
        print("| " + " | ".join(fmt(cell) for cell in row) + " |")
    print()


def fmt(cell):
    if isinstance(cell, float):
        if cell >= 100:
            return f"{cell:.0f}"
        if cell >= 1:
            return f"{cell:.2f}"
        return f"{cell:.3g}"
    return str(cell)
