#!/usr/bin/env python3
"""Whole-run benchmark of velmorast.exe under Wine, against the floor of its file I/O.

Each run is timed inside Wine by bench_launch.exe, from just before its
CreateProcessW to the end of its wait for the child, so the start of wine64
itself (the launcher's own process) is not in the figures. One wineserver
stays up for the whole benchmark, so no run pays for a server start. Every
program pays Wine's process start and exit; empty.exe pays only that, and
its median is taken off the others' medians as "extra time".

The programs, interleaved (the order rotates from round to round) on the
same file, which is put back and synced before every run:
  empty   empty.exe: process start and exit only
  floor   floor.exe <folder>: the tool's file I/O on Registry.pol and nothing else
  exe     velmorast.exe -path <folder> -reg 0
  timing  the timing build of velmorast.exe, same arguments; its step times
          come from its standard error
  exe-reg velmorast.exe -path <folder> -reg 1 (with the registry writes)
  before  (with --before-exe) an earlier velmorast.exe, -reg 0

Files: a 32 MiB Registry.pol (about 190000 other records with the 18
built-in ones spread through it) and a 3 KiB one (the 18 built-in records
with older data and a few others), each on a tmpfs and on the disk.

Under Wine the refresh request goes to the suite's userenv.dll double and
gpupdate.exe is the suite's stand-in, both in C:\\windows\\system32. Only
velmorast.exe loads the double (an app-specific DLL override); every other
process keeps Wine's builtin userenv.
"""

import argparse
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "wine"))
import preg  # noqa: E402
from preg import REG_BINARY, REG_DWORD, REG_SZ  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
RESERVE = 11808  # what the tool allocates beyond the file for appended records

TS_KEY = r"SOFTWARE\Policies\Microsoft\Windows NT\Terminal Services"
SETTINGS = [
    "KeepAliveEnable", "KeepAliveInterval", "SelectTransport", "fDisableCam", "fDisableAudioCapture",
    "fDisablePNPRedir", "fEnableVirtualizedGraphics", "VGOptimization_CaptureFrameRate",
    "VGOptimization_CompressionRatio", "VisualExperiencePolicy", "ColorDepth", "bEnumerateHWBeforeSW",
    "fEnableRemoteFXAdvancedRemoteApp", "MaxCompressionLevel", "ImageQuality", "GraphicsProfile",
    "SecurityLayer",
]
OTHER_KEYS = [
    r"Software\Policies\Microsoft\Windows\System",
    r"Software\Policies\Microsoft\Windows\WindowsUpdate\AU",
    r"Software\Policies\Microsoft\Windows Defender\Real-Time Protection",
    TS_KEY,
]


def builtin_records(base):
    """The 18 built-in rows with older data than the table's."""
    records = [(TS_KEY, name, REG_DWORD, base + i) for i, name in enumerate(SETTINGS)]
    records.append((TS_KEY + r"\Client", "fUsbRedirectionEnableMode", REG_DWORD, base))
    return records


def small_file():
    """About 3 KiB: a real-looking machine policy file."""
    others = [
        (OTHER_KEYS[0], "EnableSmartScreen", REG_DWORD, 1),
        (OTHER_KEYS[1], "NoAutoUpdate", REG_DWORD, 0),
        (OTHER_KEYS[1], "ScheduledInstallTime", REG_DWORD, 3),
        (r"Software\Policies\Example", "Text", REG_SZ, "kept as it is\0".encode("utf-16-le")),
    ]
    return preg.build(others[:2] + builtin_records(1) + others[2:])


def large_file(size):
    """Exactly size bytes: other records, the built-in ones spread through
    them, and a last binary record that makes up the size."""
    builtin = [preg.record(*r) for r in builtin_records(2)]
    parts, total, i = [preg.HEADER], len(preg.HEADER), 0
    tail_room = 4096
    step = 10000
    while total < size - tail_room:
        if i % step == 0 and i // step < len(builtin):
            chunk = builtin[i // step]
        elif i % 3 == 0:
            chunk = preg.record(OTHER_KEYS[i % 4], "Other%07d" % i, REG_SZ, ("value %d\0" % i).encode("utf-16-le"))
        else:
            chunk = preg.record(OTHER_KEYS[i % 4], "Other%07d" % i, REG_DWORD, i)
        parts.append(chunk)
        total += len(chunk)
        i += 1
    for chunk in builtin[len(range(0, i, step)):]:
        parts.append(chunk)
        total += len(chunk)
    overhead = len(preg.record(r"Software\Policies\Example", "Padding", REG_BINARY, b""))
    parts.append(preg.record(r"Software\Policies\Example", "Padding", REG_BINARY, b"\x5a" * (size - total - overhead)))
    blob = b"".join(parts)
    assert len(blob) == size, (len(blob), size)
    return blob


# ---------------------------------------------------------------- Wine

class Bench:
    def __init__(self, options):
        self.work = os.path.abspath(options.work)
        self.prefix = os.path.join(self.work, "prefix")
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.system32 = os.path.join(self.drive_c, "windows", "system32")
        self.tmpfs = os.path.join(self.work, "tmpfs")
        self.disk = os.path.join(self.work, "disk")
        self.log = os.path.join(self.work, "doubles.log")
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("VELMORAST_DOUBLE_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.pop("WINEDLLOVERRIDES", None)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8",
                        VELMORAST_DOUBLE_LOG=win_path(self.log))

    def stop_server(self):
        if os.path.isdir(self.prefix):
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL, timeout=30)
            subprocess.run([WINESERVER, "-w"], env=self.env, stderr=subprocess.DEVNULL, timeout=30)

    def unmount(self):
        with open("/proc/self/mounts") as f:
            if any(line.split()[1] == self.tmpfs for line in f):
                subprocess.run(["umount", self.tmpfs], check=True)

    def setup(self, files):
        self.stop_server()
        self.unmount()
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.prefix)
        os.makedirs(self.tmpfs)
        os.makedirs(self.disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % (8 * max(len(b) for b in files) + (64 << 20)),
                        "velmorast-bench", self.tmpfs], check=True)
        started = time.monotonic()
        # A server that stays up from the start: every run then connects to it.
        subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=True)
        # No Mono or Gecko: nothing here needs them, and they cost time.
        subprocess.run([WINE, "wineboot", "-i"], env=dict(self.env, WINEDLLOVERRIDES="mscoree,mshtml="),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=180, check=True)
        # services.exe and the rest keep Wine's builtin userenv; only the
        # tool loads the double, which Wine's own RefreshPolicy would abort.
        reg = os.path.join(self.drive_c, "bench.reg")
        with open(reg, "w", encoding="ascii", newline="\r\n") as f:
            f.write("REGEDIT4\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Wine\\DllOverrides]\n\"userenv\"=\"builtin\"\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\velmorast.exe\\DllOverrides]\n"
                    "\"userenv\"=\"native\"\n")
        subprocess.run([WINE, "regedit", "/s", r"C:\bench.reg"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)
        return time.monotonic() - started

    def install(self, doubles, programs):
        shutil.copy(os.path.join(doubles, "userenv.dll"), os.path.join(self.system32, "userenv.dll"))
        shutil.copy(os.path.join(doubles, "gpupdate.exe"), os.path.join(self.system32, "gpupdate.exe"))
        paths = {}
        for name, (source, exe_name) in programs.items():
            folder = os.path.join(self.drive_c, "bench", name)
            os.makedirs(folder)
            shutil.copy(source, os.path.join(folder, exe_name))
            paths[name] = "C:\\bench\\%s\\%s" % (name, exe_name)
        self.launcher = paths["launch"]
        return paths

    def run(self, command, out_path, err_path):
        """(seconds, exit code, standard error text) of one run, timed by the launcher."""
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            result = subprocess.run([WINE, self.launcher] + command, env=self.env, cwd=self.drive_c,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=120)
        text = read(err_path).decode("utf-8", "replace")
        if result.returncode != 0 and not text and not read(out_path):
            # wine64 has been seen, rarely, to end with status 1 before the
            # launcher printed anything: the caller runs it once more.
            return None
        match = re.search(r"^launch: ([0-9.]+) ms exit:0x([0-9A-F]{8})\s*\Z", text, re.M)
        if result.returncode != 0 or not match:
            raise SystemExit("launcher failed (%d) for %r: %r" % (result.returncode, command, text[-400:]))
        return float(match.group(1)) / 1000.0, int(match.group(2), 16), text[:match.start()]


def win_path(path):
    return "Z:" + path.replace("/", "\\")


def reset_folder(folder, blob):
    """The policy folder with Registry.pol alone, on the storage: the previous
    run's writes must not be flushed during the next one."""
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    path = os.path.join(folder, "Registry.pol")
    with open(path, "wb") as f:
        f.write(blob)
        f.flush()
        os.fsync(f.fileno())
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def parse_timing(text):
    """[(step name, ms)] from the "timing: <name>: <ms> ms" lines."""
    steps = []
    for line in text.splitlines():
        if line.startswith("timing: ") and line.endswith(" ms"):
            name, _, value = line[len("timing: "):-len(" ms")].rpartition(": ")
            steps.append((name, float(value)))
    return steps


def parse_memory(text):
    """{what: bytes} from the "memory: <what>: <bytes> bytes" lines."""
    found = re.findall(r"^memory: (.*?): (\d+) bytes\r?$", text, re.M)
    return {name: int(value) for name, value in found}


def median(values):
    return statistics.median(values)


# ---------------------------------------------------------------- the rounds

def command_for(variant, paths, folder):
    win_folder = win_path(folder)
    if variant == "empty":
        return [paths["empty"]]
    if variant == "floor":
        return [paths["floor"], win_folder]
    if variant == "exe-reg":
        return [paths["exe"], "-path", win_folder, "-reg", "1"]
    return [paths[variant], "-path", win_folder, "-reg", "0"]


def check_run(bench, variant, folder, blob, result, out_path, err_path):
    """The run did what it should: exit 0, and a policy file in place."""
    _, status, err = result
    output = read(out_path)
    problem = None
    if status != 0:
        problem = "exit status %d" % status
    elif variant in ("exe", "timing", "exe-reg", "before") and not output.endswith(b"exit code:0x0\r\n"):
        problem = "output %r" % output[-200:]
    elif variant == "floor" and read(os.path.join(folder, "Registry.pol")) != blob:
        problem = "Registry.pol changed"
    elif variant != "empty" and variant != "floor":
        after = read(os.path.join(folder, "Registry.pol"))
        records = preg.parse(after)
        values = {(k, n): d for k, n, t, d in records}
        if values.get((TS_KEY, "ColorDepth")) != struct.pack("<I", 999):
            problem = "ColorDepth not merged"
        elif sorted(os.listdir(folder)) != ["Registry.pol"]:
            problem = "folder holds %s" % sorted(os.listdir(folder))
    if problem:
        raise SystemExit("%s on %s failed: %s; stderr %r" % (variant, folder, problem, err[-400:]))


def run_once(bench, variant, paths, folder, blob, out_path, err_path):
    """One run on a freshly put back file; once more when wine64 ended before
    the launcher printed anything."""
    for attempt in (1, 2):
        reset_folder(folder, blob)
        result = bench.run(command_for(variant, paths, folder), out_path, err_path)
        if result is not None:
            return result
        print("note: wine64 ended with status 1 and no output (%s); running it once more" % variant)
    raise SystemExit("wine64 ended twice with no output")


def run_case(bench, paths, variants, folder, blob, rounds):
    out_path = os.path.join(bench.work, "stdout.bin")
    err_path = os.path.join(bench.work, "stderr.txt")
    results = {v: [] for v in variants}
    steps = []
    floor_io = []
    memory = {}
    # One checked run of each first, which also warms the page cache.
    for variant in variants:
        result = run_once(bench, variant, paths, folder, blob, out_path, err_path)
        check_run(bench, variant, folder, blob, result, out_path, err_path)
    for index in range(rounds):
        order = variants[index % len(variants):] + variants[:index % len(variants)]
        for variant in order:
            result = run_once(bench, variant, paths, folder, blob, out_path, err_path)
            if result[1] != 0:
                check_run(bench, variant, folder, blob, result, out_path, err_path)
            results[variant].append(result)
            err = result[2]
            if variant in ("timing", "floor"):
                memory.setdefault(variant, []).append(parse_memory(err))
            if variant == "timing":
                steps.append(parse_timing(err))
            elif variant == "floor":
                floor_io.append(dict(parse_timing(err))["floor"])
    shutil.rmtree(folder)
    return results, steps, floor_io, memory


# ---------------------------------------------------------------- the report

def ratio(extra, floor_extra):
    """extra / floor_extra, unless the floor's extra time is lost in the
    noise of the process start (then no ratio means anything)."""
    if floor_extra <= 0:
        return "n/a"
    return "x%.2f" % (extra / floor_extra)


def ms(seconds):
    return seconds * 1000.0


def report_case(title, blob, variants, results, steps, floor_io):
    walls = {v: median([r[0] for r in results[v]]) for v in variants}
    spreads = {v: (min(r[0] for r in results[v]), max(r[0] for r in results[v])) for v in variants}
    empty = walls["empty"]
    print()
    print("== %s, %d bytes ==" % (title, len(blob)))
    print("%-8s %10s %10s %10s %10s" % ("program", "median ms", "min ms", "max ms", "extra ms"))
    for v in variants:
        print("%-8s %10.1f %10.1f %10.1f %10.1f" % (v, ms(walls[v]), ms(spreads[v][0]), ms(spreads[v][1]),
                                                   ms(walls[v] - empty)))
    floor_extra = walls["floor"] - empty
    for v in variants:
        if v in ("empty", "floor"):
            continue
        print("ratio %s extra / floor extra: %s" % (v, ratio(walls[v] - empty, floor_extra)))

    names = [name for name, _ in steps[0]]
    per_step = {name: median([dict(s)[name] for s in steps]) for name in names}
    print("timing build, median of %d runs per step (ms; the first step also holds the start of the run):"
          % len(steps))
    for name in names:
        print("  %-28s %9.3f" % (name, per_step[name]))
    own = [sum(t for n, t in s if not n.startswith("(")) for s in steps]
    own_median = median(own)
    print("  %-28s %9.3f" % ("sum of the named steps", own_median))
    print("floor's own I/O time (in process, median): %.3f ms; the tool's named steps / floor I/O: %.2f"
          % (median(floor_io), own_median / median(floor_io)))
    print("the tool's own work (named steps) is %.1f%% of the timing build's whole run (%.1f ms)"
          % (100.0 * own_median / ms(walls["timing"]), ms(walls["timing"])))
    outside = ms(walls["timing"]) - own_median - per_step["(rest of run)"]
    print("the timing build's whole run less its steps: %.1f ms (process start with the exe's DLLs, and exit;"
          " empty.exe: %.1f ms)" % (outside, ms(walls["empty"])))
    return walls, per_step, own_median


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, help="velmorast.exe")
    parser.add_argument("--timing-exe", required=True, help="the timing build of velmorast.exe")
    parser.add_argument("--before-exe", help="an earlier velmorast.exe to set beside it")
    parser.add_argument("--floor", required=True, help="floor.exe")
    parser.add_argument("--empty", required=True, help="empty.exe")
    parser.add_argument("--launcher", required=True, help="bench_launch.exe")
    parser.add_argument("--doubles", required=True, help="folder with the userenv.dll and gpupdate.exe doubles")
    parser.add_argument("--work", required=True, help="folder for the prefix, the tmpfs and the disk files")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--large-mib", type=int, default=32)
    options = parser.parse_args()

    if os.geteuid() != 0:
        raise SystemExit("the tmpfs needs root")
    files = [("3 KiB", small_file()), ("%d MiB" % options.large_mib, large_file(options.large_mib << 20))]
    variants = ["empty", "floor", "exe", "timing", "exe-reg"]
    programs = {"launch": (options.launcher, "bench_launch.exe"), "empty": (options.empty, "empty.exe"), "floor": (options.floor, "floor.exe"),
                "exe": (options.exe, "velmorast.exe"), "timing": (options.timing_exe, "velmorast.exe")}
    if options.before_exe:
        variants.append("before")
        programs["before"] = (options.before_exe, "velmorast.exe")

    bench = Bench(options)
    print(__doc__.split("\n\n", 1)[1].rstrip())
    print()
    print("wine: %s" % subprocess.run([WINE, "--version"], stdout=subprocess.PIPE, text=True).stdout.strip())
    print("rounds: %d per program, medians reported; extra = median - median(empty)" % options.rounds)
    try:
        print("prefix made in %.1f s" % bench.setup([b for _, b in files]))
        paths = bench.install(options.doubles, programs)
        summary = []
        for location, root in (("tmpfs", bench.tmpfs), ("disk", bench.disk)):
            for title, blob in files:
                folder = os.path.join(root, "pol")
                results, steps, floor_io, memory = run_case(bench, paths, variants, folder, blob, options.rounds)
                walls, per_step, own = report_case("%s, %s" % (location, title), blob, variants, results, steps,
                                                   floor_io)
                summary.append((location, title, blob, walls, results, per_step, own, memory))
    finally:
        bench.stop_server()
        bench.unmount()

    print()
    print("== summary: median whole-run ms (extra ms), ratio of extra to the floor's ==")
    header = "%-6s %-7s" % ("where", "file") + "".join(" %17s" % v for v in variants[1:])
    print(header + " %17s" % "empty")
    for location, title, blob, walls, results, per_step, own, memory in summary:
        empty = walls["empty"]
        cells = ["%7.1f (%7.1f)" % (ms(walls[v]), ms(walls[v] - empty)) for v in variants[1:]]
        print("%-6s %-7s" % (location, title) + "".join(" %17s" % c for c in cells) + " %17.1f" % ms(empty))
        floor_extra = walls["floor"] - empty
        print("%-14s" % "" + "".join(" %17s" % ratio(walls[v] - empty, floor_extra) for v in variants[1:]))

    print()
    print("== peak working set (GetProcessMemoryInfo in the process itself at its exit; median) ==")
    for location, title, blob, walls, results, per_step, own, memory in summary:
        if len(blob) < (1 << 20):
            continue
        print("%s, %s: file + reserve = %d bytes" % (location, title, len(blob) + RESERVE))
        for v, label in (("timing", "velmorast.exe (timing build)"), ("floor", "floor.exe")):
            start = median([m["working set at start"] for m in memory[v]])
            peak = median([m["peak working set"] for m in memory[v]])
            print("  %-30s peak %10d bytes, at start %10d, peak above start %10d (%+d against file + reserve)"
                  % (label, peak, start, peak - start, peak - start - len(blob) - RESERVE))
    return 0


if __name__ == "__main__":
    sys.exit(main())
