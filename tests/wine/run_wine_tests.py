#!/usr/bin/env python3
"""End-to-end tests of the real velmorast.exe under Wine.

One throwaway prefix under the build folder serves every case: --setup makes
it afresh (wineboot) and keeps its wineserver alive, each case resets the files
and registry keys it looks at, and --cleanup shuts the server down. ctest runs
each case as its own test; without case names the runner does all three steps
itself and runs every case.

Under Wine the refresh request and gpupdate.exe are stand-ins, both in
C:\\windows\\system32, where the tool looks for them by full path: the
userenv.dll double replaces Wine's own there (which has no RefreshPolicy), and
a DLL override for velmorast.exe alone makes Wine load the file instead of its
builtin; every other program, services.exe among them, keeps the builtin.
Wine has no gpupdate.exe; the stand-in is put there for the cases that want
one. wine64 hands only the low 8 bits of an exit code to Linux, so every run
goes through wine_launch.exe, which prints the full 32-bit exit code last.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

import preg
from preg import REG_DWORD, REG_SZ

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SKIPPED = 77

TS_KEY = r"SOFTWARE\Policies\Microsoft\Windows NT\Terminal Services"
CLIENT_KEY = TS_KEY + r"\Client"

# The 18 built-in settings, in table order: key, value name, REG_DWORD data.
SETTINGS = [
    (TS_KEY, "KeepAliveEnable", 1),
    (TS_KEY, "KeepAliveInterval", 999998),
    (TS_KEY, "SelectTransport", 0),
    (TS_KEY, "fDisableCam", 0),
    (TS_KEY, "fDisableAudioCapture", 0),
    (TS_KEY, "fDisablePNPRedir", 0),
    (TS_KEY, "fEnableVirtualizedGraphics", 1),
    (TS_KEY, "VGOptimization_CaptureFrameRate", 1),
    (TS_KEY, "VGOptimization_CompressionRatio", 1),
    (TS_KEY, "VisualExperiencePolicy", 1),
    (TS_KEY, "ColorDepth", 999),
    (TS_KEY, "bEnumerateHWBeforeSW", 1),
    (TS_KEY, "fEnableRemoteFXAdvancedRemoteApp", 1),
    (TS_KEY, "MaxCompressionLevel", 0),
    (TS_KEY, "ImageQuality", 2),
    (TS_KEY, "GraphicsProfile", 1),
    (TS_KEY, "SecurityLayer", 1),
    (CLIENT_KEY, "fUsbRedirectionEnableMode", 2),
]

BANNER = (
    b"* * * * * * * * * * * * * * * * * * * * * * * * * * * * * * * *\r\n"
    b"*  Velmorast  1.0.18.403                                      *\r\n"
    b"*                                                             *\r\n"
    b"*  Copyright (C) 2026 Velmorast authors                       *\r\n"
    b"* * * * * * * * * * * * * * * * * * * * * * * * * * * * * * * *\r\n"
)
DEFAULT_FOLDER = r"C:\windows\system32\GroupPolicy\Machine"

# The tool loads system32's userenv.dll, the double; nothing else does.
USERENV_OVERRIDES = (
    "[HKEY_CURRENT_USER\\Software\\Wine\\DllOverrides]\n"
    '"userenv"="builtin"\n\n'
    "[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\velmorast.exe\\DllOverrides]\n"
    '"userenv"="native"\n\n')


def table_records(skip=()):
    return [(k, n, REG_DWORD, d) for k, n, d in SETTINGS if n not in skip]


NEW_FILE = preg.build(table_records())  # the file built from the table alone


# ---------------------------------------------------------------- the prefix

class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual == expected:
        return
    if isinstance(actual, bytes) and isinstance(expected, bytes) and expected.startswith(preg.HEADER):
        # Policy files: say which record differs rather than dump both files.
        try:
            actual_records = preg.parse(actual)
        except ValueError as error:
            raise Failure("%s: expected %d bytes, got %d that do not parse (%s)"
                          % (what, len(expected), len(actual), error))
        expected_records = preg.parse(expected)
        for index, (a, e) in enumerate(zip(actual_records, expected_records)):
            if a != e:
                raise Failure("%s: record %d is %r, expected %r" % (what, index, a, e))
        if len(actual_records) != len(expected_records):
            raise Failure("%s: %d records, expected %d" % (what, len(actual_records), len(expected_records)))
    raise Failure("%s:\n  expected %r\n  actual   %r" % (what, expected, actual))


class Suite:
    def __init__(self, options):
        self.exe = os.path.abspath(options.exe)
        self.launcher = os.path.abspath(options.launcher)
        self.doubles = os.path.abspath(options.doubles)
        self.work = os.path.abspath(options.work)
        self.prefix = os.path.join(self.work, "prefix")
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.system32 = os.path.join(self.drive_c, "windows", "system32")
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("VELMORAST_DOUBLE_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.env.pop("WINEDLLOVERRIDES", None)

    def wine(self, args, env=None, cwd=None, timeout=90, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL):
        run_env = dict(self.env)
        run_env.update(env or {})
        return subprocess.run([WINE] + args, env=run_env, cwd=cwd or self.drive_c, stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=stderr, timeout=timeout)

    def popen(self, args, env=None, cwd=None, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL):
        """Starts a Wine program without waiting for it."""
        run_env = dict(self.env)
        run_env.update(env or {})
        return subprocess.Popen([WINE] + args, env=run_env, cwd=cwd or self.drive_c, stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=stderr)

    def setup(self):
        """A fresh prefix whose server stays up until cleanup."""
        self.cleanup()
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        started = time.monotonic()
        # A server that stays up between cases spares each case the start of
        # Wine's services.
        start_persistent_server(self, check=True)
        # No Mono or Gecko: nothing here needs them, and they cost time.
        subprocess.run([WINE, "wineboot", "-i"], env=dict(self.env, WINEDLLOVERRIDES="mscoree,mshtml="),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180, check=True)
        elapsed = time.monotonic() - started
        check(os.path.isdir(self.system32), "wineboot made no system32")
        print("wineboot: %.1f s" % elapsed)
        # After wineboot, which writes Wine's own userenv.dll into system32
        # (a throwaway prefix: the double takes its place there). services.exe
        # and the rest are held to the builtin first: they die on the double,
        # and a prefix whose services never come up hangs.
        self.import_reg(USERENV_OVERRIDES)
        install_userenv(self, "userenv.dll")

    def cleanup(self):
        unmount_leftovers(self.work)
        if os.path.isdir(self.prefix):
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL, timeout=30)

    def import_reg(self, text):
        """Applies a REGEDIT4 script (deletions and values) in one process."""
        path = os.path.join(self.drive_c, "reset.reg")
        with open(path, "w", encoding="ascii", newline="\r\n") as f:
            f.write("REGEDIT4\n\n" + text)
        result = self.wine(["regedit", "/s", r"C:\reset.reg"], stdout=subprocess.DEVNULL)
        check(result.returncode == 0, "regedit /s failed with %d" % result.returncode)

    def query_values(self, key):
        """{(subkey relative to key, value name): (type name, data text)}, or None when absent."""
        result = self.wine(["reg", "query", "HKLM\\" + key, "/s"])
        if result.returncode != 0:
            return None
        values, current = {}, None
        full = "HKEY_LOCAL_MACHINE\\" + key
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            if line.startswith("HKEY_"):
                check(line.lower().startswith(full.lower()), "unexpected key %r" % line)
                current = line[len(full):].lstrip("\\")
                continue
            match = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
            if match:
                values[(current, match.group(1))] = (match.group(2), match.group(3))
        return values


def start_persistent_server(suite, check=False):
    """Starts the prefix's wineserver to stay up until cleanup, unless one runs
    already (which then refuses). It gets no standard handles of ours: ctest
    waits for every holder of a test's output pipe to let go."""
    result = subprocess.run([WINESERVER, "-p"], env=suite.env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    if check and result.returncode != 0:
        raise Failure("wineserver -p failed with %d" % result.returncode)


def unmount_leftovers(work):
    """Unmounts tmpfs mounts that a killed run left under the work folder."""
    try:
        with open("/proc/self/mounts") as f:
            mounts = [line.split()[1] for line in f]
    except OSError:
        return
    for mount_point in mounts:
        if mount_point.startswith(work + "/"):
            subprocess.run(["umount", mount_point], stderr=subprocess.DEVNULL)


# ---------------------------------------------------------------- one case

class Context:
    """What one case works with: its folder, where velmorast.exe is copied and
    which is the current folder of the run, its policy folder inside, and the
    log of the doubles."""

    def __init__(self, suite, name):
        self.name = name
        self.dir = os.path.join(suite.drive_c, "cases", name)
        self.win_dir = "C:\\cases\\" + name
        self.pol = os.path.join(self.dir, "pol")
        self.win_pol = self.win_dir + "\\pol"
        self.log = os.path.join(self.dir, "doubles.log")
        self.win_log = self.win_dir + "\\doubles.log"
        self.processes = []  # started by the case and not waited for yet

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def read_log(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def install_userenv(suite, variant):
    """Puts a userenv.dll of the doubles folder (a path below it) into
    system32, or none at all when variant is None."""
    target = os.path.join(suite.system32, "userenv.dll")
    if os.path.exists(target):
        os.remove(target)
    if variant is not None:
        shutil.copy(os.path.join(suite.doubles, variant), target)


def gpupdate_paths(suite, ctx):
    """Every folder where a bare "gpupdate.exe" could be found."""
    windows = os.path.join(suite.drive_c, "windows")
    return [os.path.join(d, "gpupdate.exe") for d in
            (suite.system32, windows, os.path.join(suite.system32, "wbem"),
             os.path.join(suite.system32, "WindowsPowershell", "v1.0"), ctx.dir)]


def reset(suite, ctx, row):
    """Puts back what a fresh prefix has, plus this case's own starting state."""
    start_persistent_server(suite)
    shutil.rmtree(ctx.dir, ignore_errors=True)
    os.makedirs(ctx.dir)
    shutil.copy(suite.exe, ctx.path("velmorast.exe"))
    install_userenv(suite, row.get("userenv", "userenv.dll"))
    for path in gpupdate_paths(suite, ctx):
        if os.path.exists(path):
            os.remove(path)
    if row.get("gpupdate", {}) is not None:
        shutil.copy(os.path.join(suite.doubles, "gpupdate.exe"), os.path.join(suite.system32, "gpupdate.exe"))
    shutil.rmtree(os.path.join(suite.system32, "GroupPolicy"), ignore_errors=True)

    version = row.get("version")
    script = "[HKEY_CURRENT_USER\\Software\\Wine]\n"
    script += ('"Version"="%s"\n\n' % version) if version else '"Version"=-\n\n'
    script += "[-HKEY_LOCAL_MACHINE\\%s]\n\n" % TS_KEY
    script += row.get("registry", "")
    suite.import_reg(script)


def tool_env(ctx, row):
    env = {"VELMORAST_DOUBLE_LOG": ctx.win_log}
    if "refresh" in row:
        env["VELMORAST_DOUBLE_REFRESH"] = row["refresh"]
    gpupdate = row.get("gpupdate") or {}
    if "exit" in gpupdate:
        env["VELMORAST_DOUBLE_GPUPDATE_EXIT"] = str(gpupdate["exit"])
    if "sleep_ms" in gpupdate:
        env["VELMORAST_DOUBLE_GPUPDATE_SLEEP_MS"] = str(gpupdate["sleep_ms"])
    return env


class ToolRun:
    """One velmorast.exe run from the case folder through the launcher, not
    waited for yet. Output goes to files: a child left running must not hold
    a pipe open. tag tells apart the files of runs that overlap."""

    def __init__(self, suite, ctx, row, tag="", env=None):
        self.out_path = ctx.path("stdout%s.bin" % tag)
        self.err_path = ctx.path("stderr%s.txt" % tag)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = suite.popen([suite.launcher, ctx.win_dir + "\\velmorast.exe"] + row.get("args", []),
                                       env=dict(tool_env(ctx, row), **(env or {})), cwd=ctx.dir,
                                       stdout=out, stderr=err)
        self.started = time.monotonic()
        self.ended = None

    def poll(self):
        if self.ended is None and self.process.poll() is not None:
            self.ended = time.monotonic()
        return self.ended is not None

    def wait(self, timeout):
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        self.poll()

    def never_ran(self):
        # wine64 has been seen, rarely, to end with status 1 before the
        # launcher printed anything. The tool prints its banner before it
        # does anything, so no output at all means it never ran.
        return self.process.returncode != 0 and not read_file(self.out_path)

    def result(self):
        """(stdout bytes, exit code)"""
        output = read_file(self.out_path)
        match = re.search(rb"exit:0x([0-9A-F]{8})\n\Z", output)
        check(self.process.returncode == 0 and match, "launcher failed (%d): %r, stderr %r"
              % (self.process.returncode, output[-200:], read_file(self.err_path)[-400:]))
        return output[:match.start()], int(match.group(1), 16)


def run_tool(suite, ctx, row, timeout=90):
    """Runs velmorast.exe from the case folder; returns (stdout bytes, exit code)."""
    for attempt in (1, 2):
        run = ToolRun(suite, ctx, row)
        run.wait(timeout)
        if not run.never_ran() or attempt == 2:
            break
        print("note: wine64 ended with status %d and no output; running the case once more"
              % run.process.returncode)
    return run.result()


def console(*lines):
    return BANNER + b"".join(line.encode("latin-1") + b"\r\n" for line in lines)


def hresult_from_win32(error):
    return error if error <= 0 else 0x80070000 | (error & 0xFFFF)


def check_console(suite, ctx, row, output, exit_code, what=""):
    lines = row["lines"](suite, ctx) if callable(row["lines"]) else row["lines"]
    expected_exit = row["exit"](suite, ctx) if callable(row["exit"]) else row["exit"]
    check_equal(output, console(*lines), what + "console bytes")
    check_equal("0x%08X" % exit_code, "0x%08X" % expected_exit, what + "exit code")


def run_row(suite, ctx, row):
    reset(suite, ctx, row)
    if "before" in row:
        row["before"](suite, ctx)
    if "run" in row:
        # A case that runs the tool its own way checks each run's console.
        row["run"](suite, ctx)
    else:
        started = time.monotonic()
        output, exit_code = run_tool(suite, ctx, row)
        ctx.elapsed = time.monotonic() - started
        check_console(suite, ctx, row, output, exit_code)
    if "after" in row:
        row["after"](suite, ctx)


# ------------------------------------------- start-up, the folder and the gate

def probe_os_version(suite, version):
    """What GetVersionExW reports under the tool's manifest for this setting."""
    suite.import_reg('[HKEY_CURRENT_USER\\Software\\Wine]\n"Version"="%s"\n' % version)
    result = suite.wine([suite.launcher, "--osversion"])
    text = result.stdout.decode("ascii").strip()
    check(result.returncode == 0 and re.match(r"^\d+\.\d+ build:", text), "probe failed: %r" % text)
    return text


def expect_gate_passed(suite, ctx):
    check_equal(os.listdir(ctx.pol), ["Registry.pol"], "policy folder after a run past the gate")
    check_equal(read_file(os.path.join(ctx.pol, "Registry.pol")), NEW_FILE, "Registry.pol")


def expect_version(major_minor):
    def before(suite, ctx):
        ctx.os_version = probe_os_version(suite, ctx.row["version"])
        print("GetVersionExW with %s: %s" % (ctx.row["version"], ctx.os_version))
        check(ctx.os_version.startswith(major_minor + " "), "Wine reports %s" % ctx.os_version)
    return before


def refusal_after(suite, ctx):
    # The folder is made before the gate; nothing else is touched.
    check_equal(os.listdir(ctx.pol), [], "policy folder after a refusal")
    check_equal(suite.query_values(TS_KEY), None, "registry after a refusal")


def missing_parent_after(suite, ctx):
    check(not os.path.exists(ctx.path("missing")), "a folder was made under a missing parent")


STARTUP = [
    # No arguments on a fresh prefix: the default folder's parent
    # (system32\GroupPolicy) is missing there, so the run stops at the folder.
    dict(name="startup.banner_and_default_folder", args=[],
         lines=["ERR: create policy folder (%s) error. 0x80070003" % DEFAULT_FOLDER], exit=0x80070003,
         after=lambda suite, ctx: check(not os.path.exists(os.path.join(suite.system32, "GroupPolicy")),
                                        "GroupPolicy appeared")),
    dict(name="startup.gate_vista_refused", version="vista", before=expect_version("6.0"),
         args=["-path", "{pol}"],
         lines=lambda suite, ctx: ["ERR: Not support Vista and earlier versions. %s." % ctx.os_version],
         exit=0x80004001, after=refusal_after),
    dict(name="startup.gate_win7_passes", version="win7", before=expect_version("6.1"),
         args=["-path", "{pol}"], lines=["exit code:0x0"], exit=0, after=expect_gate_passed),
    dict(name="startup.gate_win10_passes", version="win10", before=expect_version("10.0"),
         args=["-path", "{pol}"], lines=["exit code:0x0"], exit=0, after=expect_gate_passed),
    dict(name="startup.folder_parent_missing", args=["-path", "{dir}\\missing\\pol"],
         lines=["ERR: create policy folder ({dir}\\missing\\pol) error. 0x80070003"], exit=0x80070003,
         after=missing_parent_after),
    # Code units 1 to 255 reach the console as the same byte, others as "?".
    dict(name="startup.folder_parent_missing_non_ascii", args=["-path", "{dir}\\missing\\p\u00f6l\u2603"],
         lines=["ERR: create policy folder ({dir}\\missing\\p\u00f6l?) error. 0x80070003"], exit=0x80070003,
         after=missing_parent_after),
    dict(name="startup.folder_exists_passes_silently", args=["-path", "{pol}"],
         before=lambda suite, ctx: os.makedirs(ctx.pol), lines=["exit code:0x0"], exit=0,
         after=expect_gate_passed),
]


# ----------------------------------------------------- the policy file update

OTHER_RECORDS = [
    (r"Software\Policies\Microsoft\Windows\System", "EnableSmartScreen", REG_DWORD, 1),
    (r"Software\Policies\Example", "Text", REG_SZ, "kept as it is\0".encode("utf-16-le")),
]
# A file the merge accepts: two other records around row 10 with old data.
PREVIOUS = preg.build(OTHER_RECORDS[:1] + [(TS_KEY, "ColorDepth", REG_DWORD, 16)] + OTHER_RECORDS[1:])
MERGED = (preg.build(OTHER_RECORDS[:1] + [(TS_KEY, "ColorDepth", REG_DWORD, 999)] + OTHER_RECORDS[1:])
          + b"".join(preg.record(*r) for r in table_records(skip=("ColorDepth",))))
OLDER_BACKUP = preg.build([(r"Software\Older", "Backup", REG_DWORD, 7)])


def start_with(files):
    def before(suite, ctx):
        os.makedirs(ctx.pol)
        for name, data in files.items():
            write_file(os.path.join(ctx.pol, name), data)
    return before


def expect_files(files):
    def after(suite, ctx):
        check_equal(sorted(os.listdir(ctx.pol)), sorted(files), "files in the policy folder")
        for name, data in files.items():
            check_equal(read_file(os.path.join(ctx.pol, name)), data, name)
    return after


def second_run_identical(suite, ctx):
    first = read_file(os.path.join(ctx.pol, "Registry.pol"))
    check_equal(first, MERGED, "Registry.pol after the first run")
    output, exit_code = run_tool(suite, ctx, ctx.row)
    check_equal((output, exit_code), (console("exit code:0x0"), 0), "second run")
    expect_files({"Registry.pol": first, "Registry.pol.bak": first})(suite, ctx)


def disk_full(backup_args, files):
    """The policy folder on a tmpfs with one page free, less than the new file
    needs: the write fails part way, and nothing in the folder may change."""
    def before(suite, ctx):
        os.makedirs(ctx.pol)
        pages = sum((len(data) + 4095) // 4096 for data in files.values())
        mount_tmpfs(ctx, ctx.pol, (pages + 1) * 4096)
        for name, data in files.items():
            write_file(os.path.join(ctx.pol, name), data)

    def after(suite, ctx):
        expect_files(files)(suite, ctx)
        # The registry writes come before the file is written, and stand.
        check_equal(len(suite.query_values(TS_KEY) or {}), 18, "registry values after the failed write")

    return dict(args=["-path", "{pol}"] + backup_args, before=before, after=after, needs_mount=True,
                lines=["failed to write output file. err:0x80070070"], exit=0x80070070)


def mount_tmpfs(ctx, path, size):
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % size, "velmorast-full", path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(result.returncode == 0, "mount failed: %s" % result.stdout.decode(errors="replace").strip())
    ctx.mounts.append(path)


PREFILLED_PREVIOUS = preg.build(OTHER_RECORDS * 10 + [(TS_KEY, "ColorDepth", REG_DWORD, 16)])

POLICY_FILE = [
    dict(name="policy_file.backup_keeps_previous_bytes", args=["-path", "{pol}", "-bak", "1"],
         before=start_with({"Registry.pol": PREVIOUS}), lines=["exit code:0x0"], exit=0,
         after=expect_files({"Registry.pol": MERGED, "Registry.pol.bak": PREVIOUS})),
    dict(name="policy_file.backup_of_empty_file", args=["-path", "{pol}", "-bak", "1"],
         before=start_with({"Registry.pol": b""}), lines=["exit code:0x0"], exit=0,
         after=expect_files({"Registry.pol": NEW_FILE, "Registry.pol.bak": b""})),
    dict(name="policy_file.no_backup_with_bak_0", args=["-path", "{pol}", "-bak", "0"],
         before=start_with({"Registry.pol": PREVIOUS}), lines=["exit code:0x0"], exit=0,
         after=expect_files({"Registry.pol": MERGED})),
    dict(name="policy_file.older_backup_untouched_with_bak_0", args=["-path", "{pol}", "-bak", "0"],
         before=start_with({"Registry.pol": PREVIOUS, "Registry.pol.bak": OLDER_BACKUP}),
         lines=["exit code:0x0"], exit=0,
         after=expect_files({"Registry.pol": MERGED, "Registry.pol.bak": OLDER_BACKUP})),
    # No file yet: the file from the table alone, and no backup even with -bak 1.
    dict(name="policy_file.new_file_without_backup", args=["-path", "{pol}", "-bak", "1"],
         lines=["exit code:0x0"], exit=0, after=expect_files({"Registry.pol": NEW_FILE})),
    dict(name="policy_file.second_run_byte_identical", args=["-path", "{pol}", "-bak", "1"],
         before=start_with({"Registry.pol": PREVIOUS}), lines=["exit code:0x0"], exit=0,
         after=second_run_identical),
    dict(name="policy_file.disk_full_keeps_file", **disk_full([], {"Registry.pol": PREFILLED_PREVIOUS})),
    dict(name="policy_file.disk_full_keeps_older_backup",
         **disk_full(["-bak", "1"], {"Registry.pol": PREFILLED_PREVIOUS, "Registry.pol.bak": OLDER_BACKUP})),
]


# ------------------------------ the registry write and the Group Policy refresh

def expected_registry():
    return {("" if key == TS_KEY else "Client", name): ("REG_DWORD", "0x%x" % data)
            for key, name, data in SETTINGS}


# Values that stand before the run with another type or other data.
PRESET_REGISTRY = (
    "[HKEY_LOCAL_MACHINE\\%s]\n"
    '"ColorDepth"="sixteen"\n'
    '"KeepAliveInterval"=dword:00000005\n'
    '"Unrelated"="left alone"\n\n'
    "[HKEY_LOCAL_MACHINE\\%s]\n"
    '"fUsbRedirectionEnableMode"=hex:01,02,03\n\n' % (TS_KEY, CLIENT_KEY))
PRESET_VALUES = {
    ("", "ColorDepth"): ("REG_SZ", "sixteen"),
    ("", "KeepAliveInterval"): ("REG_DWORD", "0x5"),
    ("", "Unrelated"): ("REG_SZ", "left alone"),
    ("Client", "fUsbRedirectionEnableMode"): ("REG_BINARY", "010203"),
}


def expect_registry(expected):
    def after(suite, ctx):
        check_equal(suite.query_values(TS_KEY), expected() if callable(expected) else expected,
                    "values under HKLM\\" + TS_KEY)
    return after


def check_preset(suite, ctx):
    check_equal(suite.query_values(TS_KEY), PRESET_VALUES, "registry before the run")


def double_calls(ctx, lines=None):
    """The log of the doubles (or those of its lines given), with the program
    name taken off gpupdate's command line (gpupdate_started_from tells where
    it ran from)."""
    return [re.sub(r'^gpupdate start: ("[^"]*"|\S+) ?', "gpupdate start: ", line)
            for line in (ctx.read_log() if lines is None else lines)]


def gpupdate_started_from(ctx):
    """The program names on the command lines that gpupdate stand-ins logged."""
    return [re.match(r'^gpupdate start: ("[^"]*"|\S+)', line).group(1).strip('"')
            for line in ctx.read_log() if line.startswith("gpupdate start: ")]


def expect_doubles(refresh_result, gpupdate_ended=True):
    """RefreshPolicy asked for computer policy, then gpupdate.exe got "/force"."""
    def after(suite, ctx):
        expected = ["RefreshPolicy(1) -> %d" % refresh_result, "gpupdate start: /force"]
        if gpupdate_ended:
            expected.append("gpupdate end: %d" % ctx.row.get("gpupdate", {}).get("exit", 0))
        check_equal(double_calls(ctx), expected, "calls of the doubles")
    return after


def launch_failure_error(suite, ctx):
    """What ShellExecuteExW leaves in the last error here when the tool's
    launch request finds no system32\\gpupdate.exe (Wine 8 and Windows: 2)."""
    result = suite.wine([suite.launcher, "--shellexecute"], cwd=ctx.dir)
    text = result.stdout.decode("ascii").strip()
    match = re.match(r"^ShellExecuteExW:0 error:(\d+)$", text)
    check(match, "ShellExecuteExW probe: %r" % text)
    error = int(match.group(1))
    print("ShellExecuteExW without gpupdate.exe: last error %d" % error)
    return hresult_from_win32(error) if error else 0x80004005


def no_gpupdate(refresh_lines):
    def before(suite, ctx):
        ctx.launch_error = launch_failure_error(suite, ctx)

    def lines(suite, ctx):
        return refresh_lines + ["Failed to update group policy. err:0x%08X" % ctx.launch_error]

    def after(suite, ctx):
        check_equal([line for line in ctx.read_log() if not line.startswith("RefreshPolicy")], [],
                    "gpupdate.exe must not have run")
        expect_registry(expected_registry)(suite, ctx)

    return dict(gpupdate=None, before=before, lines=lines, exit=lambda suite, ctx: ctx.launch_error,
                after=after)


def child_left_running(suite, ctx):
    check(ctx.elapsed >= 29.5, "returned after %.1f s, before the 30 s wait ended" % ctx.elapsed)
    # The tool has returned; the child is still running and must end by itself.
    expect_doubles(1, gpupdate_ended=False)(suite, ctx)
    deadline = time.monotonic() + 30
    while not any(line.startswith("gpupdate end") for line in ctx.read_log()):
        check(time.monotonic() < deadline, "gpupdate.exe never ended")
        time.sleep(0.2)


def end_to_end_before(suite, ctx):
    # Windows ships system32\GroupPolicy; a fresh Wine prefix does not.
    os.makedirs(os.path.join(suite.system32, "GroupPolicy"))


def end_to_end_after(suite, ctx):
    machine = os.path.join(suite.system32, "GroupPolicy", "Machine")
    check_equal(os.listdir(machine), ["Registry.pol"], "files in the default policy folder")
    data = read_file(os.path.join(machine, "Registry.pol"))
    check_equal(len(data), 3242, "size of Registry.pol")
    check_equal(data, NEW_FILE, "Registry.pol")
    expect_registry(expected_registry)(suite, ctx)
    expect_doubles(1)(suite, ctx)


APPLY = [
    dict(name="apply.registry_values_written", args=["-path", "{pol}"], registry=PRESET_REGISTRY,
         before=check_preset, lines=["exit code:0x0"], exit=0,
         after=expect_registry(lambda: {**expected_registry(), ("", "Unrelated"): ("REG_SZ", "left alone")})),
    dict(name="apply.reg_0_writes_nothing", args=["-path", "{pol}", "-reg", "0"],
         lines=["exit code:0x0"], exit=0, after=expect_registry(None)),
    dict(name="apply.reg_0_leaves_values", args=["-path", "{pol}", "-reg", "0"], registry=PRESET_REGISTRY,
         before=check_preset, lines=["exit code:0x0"], exit=0, after=expect_registry(PRESET_VALUES)),
    dict(name="apply.refresh_succeeds", args=["-path", "{pol}"], refresh="ok",
         lines=["exit code:0x0"], exit=0, after=expect_doubles(1)),
    dict(name="apply.child_exit_code_7", args=["-path", "{pol}"], gpupdate={"exit": 7},
         lines=["exit code:0x7"], exit=0, after=expect_doubles(1)),
    dict(name="apply.refresh_fails", args=["-path", "{pol}"], refresh="fail:5",
         lines=["Failed to refresh group policy. err:0x80070005", "exit code:0x0"], exit=0x80070005,
         after=expect_doubles(0)),
    # A failure whose last error reads 0 must not turn into success.
    dict(name="apply.refresh_fails_without_error_code", args=["-path", "{pol}"], refresh="fail:0",
         lines=["Failed to refresh group policy. err:0x80004005", "exit code:0x0"], exit=0x80004005,
         after=expect_doubles(0)),
    dict(name="apply.no_gpupdate", args=["-path", "{pol}"], **no_gpupdate([])),
    dict(name="apply.refresh_fails_and_no_gpupdate", args=["-path", "{pol}"], refresh="fail:1115",
         **no_gpupdate(["Failed to refresh group policy. err:0x8007045B"])),
    dict(name="apply.child_past_30_s", args=["-path", "{pol}"], gpupdate={"sleep_ms": 32000},
         lines=["dwWait:258"], exit=0, after=child_left_running),
    dict(name="apply.end_to_end_default_folder", args=[], before=end_to_end_before,
         lines=["exit code:0x0"], exit=0, after=end_to_end_after),
]


# ------------------------------ what the tool loads and starts, and from where

SYSTEM32_GPUPDATE = r"C:\windows\system32\gpupdate.exe"


def plant_decoys(names):
    """Puts stand-ins where a search by bare name would find them before, or
    instead of, system32: beside the exe, which is also the current folder,
    and for gpupdate.exe the other folders on PATH."""
    def before(suite, ctx):
        if "userenv" in names:
            decoy = os.path.join(suite.doubles, "decoy", "userenv.dll")
            shutil.copy(decoy, ctx.path("userenv.dll"))
            # The decoy works when it is loaded: its call shows in the log.
            result = suite.wine([suite.launcher, "--refresh", ctx.win_dir + "\\userenv.dll"], cwd=ctx.dir,
                                env={"WINEDLLOVERRIDES": "userenv=n", "VELMORAST_DOUBLE_LOG": ctx.win_log})
            check_equal((result.stdout, ctx.read_log()), (b"RefreshPolicy:1\n", ["decoy RefreshPolicy(1) -> 1"]),
                        "the decoy userenv.dll loaded by its path")
            os.remove(ctx.log)
        if "gpupdate" in names:
            for path in gpupdate_paths(suite, ctx)[1:]:
                if os.path.isdir(os.path.dirname(path)):
                    shutil.copy(os.path.join(suite.doubles, "gpupdate.exe"), path)
    return before


def then(*steps):
    def run(suite, ctx):
        for step in steps:
            step(suite, ctx)
    return run


def expect_system32_doubles(suite, ctx):
    expect_doubles(1)(suite, ctx)
    check_equal(gpupdate_started_from(ctx), [SYSTEM32_GPUPDATE], "the gpupdate.exe started")


def only_gpupdate_started(suite, ctx):
    check_equal(double_calls(ctx), ["gpupdate start: /force", "gpupdate end: 0"], "calls of the doubles")
    check_equal(gpupdate_started_from(ctx), [SYSTEM32_GPUPDATE], "the gpupdate.exe started")
    expect_registry(expected_registry)(suite, ctx)


def gpupdate_only_off_system32():
    """No system32\\gpupdate.exe, but one in every other folder a bare name
    is looked for in (under Wine: PATH, with system32 first, then the exe's
    folder and the current one). The probe runs before they are planted."""
    row = no_gpupdate([])
    row["before"] = then(row["before"], plant_decoys({"gpupdate"}))
    return row


SEARCH = [
    # A userenv.dll and a gpupdate.exe beside the exe and in the current folder:
    # the tool still takes both from system32.
    dict(name="search.decoys_beside_exe_not_used", args=["-path", "{pol}"],
         before=plant_decoys({"userenv", "gpupdate"}), lines=["exit code:0x0"], exit=0,
         after=expect_system32_doubles),
    dict(name="search.gpupdate_only_on_path_not_started", args=["-path", "{pol}"],
         **gpupdate_only_off_system32()),
    # No userenv.dll in system32 (and the override lets Wine take no builtin
    # instead): the refresh request fails, gpupdate.exe runs all the same, and
    # a decoy beside the exe is no way out.
    dict(name="search.userenv_missing_from_system32", args=["-path", "{pol}"], userenv=None,
         before=plant_decoys({"userenv"}),
         lines=["Failed to refresh group policy. err:0x8007007E", "exit code:0x0"], exit=0x8007007E,
         after=only_gpupdate_started),
    dict(name="search.userenv_without_refresh_policy", args=["-path", "{pol}"],
         userenv=os.path.join("no_refresh_policy", "userenv.dll"), before=plant_decoys({"userenv"}),
         lines=["Failed to refresh group policy. err:0x8007007F", "exit code:0x0"], exit=0x8007007F,
         after=only_gpupdate_started),
]


# ------------------------------------------ runs that share one policy folder

def bulk_previous():
    """A policy file of 16 MiB and more: records of other settings, with stale
    records of three built-in rows at the start, in the middle and at the end;
    and the file the merge makes of it."""
    if not hasattr(bulk_previous, "files"):
        count = 131072  # 128 bytes each
        others = [(r"Software\Policies\Example\Bulk\Group%03d" % (i // 1024), "Value%06d" % i, REG_DWORD,
                   1 + i % 50) for i in range(count)]
        stale = {"ColorDepth": 16, "SecurityLayer": 2, "fUsbRedirectionEnableMode": 0}
        stale_records = [(k, n, REG_DWORD, stale[n]) for k, n, _ in SETTINGS if n in stale]
        records = stale_records[:1] + others[:count // 2] + stale_records[1:2] + others[count // 2:] + stale_records[2:]
        table = {n: d for _, n, d in SETTINGS}
        merged = [(k, n, t, table[n] if n in stale else d) for k, n, t, d in records] + table_records(skip=stale)
        bulk_previous.files = preg.build(records), preg.build(merged)
        check(len(bulk_previous.files[0]) >= 16 << 20, "the bulk file is smaller than 16 MiB")
    return bulk_previous.files


TOGETHER_TRIALS = 5
# Wine's file warnings name each open refused for sharing: how often a run
# found the lock taken, for the report only (it depends on timing).
LOCK_REFUSED = re.compile(rb'Unable to create file L"[^"]*Registry\.pol\.lck" \(status c0000043\)')


def two_runs_together(suite, ctx):
    """Two runs started back to back on the same folder, several times over:
    each waits its turn, so both end as a run on its own would, and the
    folder holds one complete result."""
    previous, merged = bulk_previous()
    # For comparison: one run alone on the same file.
    start_with({"Registry.pol": previous})(suite, ctx)
    solo = ToolRun(suite, ctx, ctx.row, tag="-solo")
    solo.wait(90)
    check_console(suite, ctx, ctx.row, *solo.result(), what="a run on its own: ")
    check_equal(read_file(os.path.join(ctx.pol, "Registry.pol")), merged, "Registry.pol after a run on its own")
    print("a run on its own: %.2f s" % (solo.ended - solo.started))
    backups, contended = [], 0
    for trial in range(1, TOGETHER_TRIALS + 1):
        for attempt in (1, 2):
            shutil.rmtree(ctx.pol)
            start_with({"Registry.pol": previous})(suite, ctx)
            if os.path.exists(ctx.log):
                os.remove(ctx.log)
            runs = [ToolRun(suite, ctx, ctx.row, tag="-%d%s" % (trial, tag), env={"WINEDEBUG": "-all,warn+file"})
                    for tag in "ab"]
            deadline = time.monotonic() + 120
            while not all([run.poll() for run in runs]):  # each run's end time noted
                check(time.monotonic() < deadline, "trial %d: the runs did not end" % trial)
                time.sleep(0.02)
            if not any(run.never_ran() for run in runs) or attempt == 2:
                break
            print("note: wine64 ended with no output in trial %d; running the trial once more" % trial)
        for tag, run in zip("ab", runs):
            check_console(suite, ctx, ctx.row, *run.result(), what="trial %d, run %s: " % (trial, tag))
        check_equal(sorted(os.listdir(ctx.pol)), ["Registry.pol", "Registry.pol.bak"],
                    "trial %d: files in the policy folder" % trial)
        check_equal(read_file(os.path.join(ctx.pol, "Registry.pol")), merged, "trial %d: Registry.pol" % trial)
        backup = read_file(os.path.join(ctx.pol, "Registry.pol.bak"))
        check(backup in (previous, merged), "trial %d: Registry.pol.bak of %d bytes is neither the previous "
              "file nor the merged one" % (trial, len(backup)))
        backups.append("previous" if backup == previous else "merged")
        check_equal(sorted(double_calls(ctx)), sorted(["RefreshPolicy(1) -> 1", "gpupdate start: /force",
                                                       "gpupdate end: 0"] * 2), "trial %d: calls of the doubles" % trial)
        refused = [len(LOCK_REFUSED.findall(read_file(run.err_path))) for run in runs]
        contended += any(refused)
        report = ", ".join("run %s %.2f s, found the lock taken %d times" % (tag, run.ended - run.started, count)
                           for tag, run, count in zip("ab", runs, refused))
        print("trial %d (started %.3f s apart): %s; backup holds the %s file"
              % (trial, runs[1].started - runs[0].started, report, backups[-1]))
    print("trials in which one run found the lock taken: %d of %d" % (contended, TOGETHER_TRIALS))
    expect_registry(expected_registry)(suite, ctx)


def hold_lock(ms):
    """Another process holds the folder's lock file for ms milliseconds from
    before the run starts."""
    def before(suite, ctx):
        start_with({"Registry.pol": PREVIOUS})(suite, ctx)
        holder = suite.popen([suite.launcher, "--hold", ctx.win_pol + "\\Registry.pol.lck", str(ms)],
                             env={"VELMORAST_DOUBLE_LOG": ctx.win_log}, cwd=ctx.dir)
        ctx.processes.append(holder)
        ctx.holder = holder
        deadline = time.monotonic() + 30
        while "hold: taken" not in ctx.read_log():
            check(holder.poll() is None, "the holder ended (%s) before it took the lock" % holder.returncode)
            check(time.monotonic() < deadline, "the holder never took the lock")
            time.sleep(0.05)
    return before


def held_folder(ctx):
    """The log as far as the holder wrote it, and the files it saw in the
    folder as it let go, in name order."""
    check_equal(ctx.holder.wait(timeout=90), 0, "the holder's exit status")
    log = ctx.read_log()
    match = re.match(r"^hold: releasing; folder:(.*)$", log[1] if len(log) > 1 else "")
    check(log[:1] == ["hold: taken"] and match, "the holder's log: %r" % log[:2])
    return log[2:], sorted(match.group(1).split())


def lock_waited_for(suite, ctx):
    rest, at_release = held_folder(ctx)
    check_equal(at_release, ["Registry.pol", "Registry.pol.lck"], "files as the holder let go")
    check_equal(double_calls(ctx, rest), ["RefreshPolicy(1) -> 1", "gpupdate start: /force", "gpupdate end: 0"],
                "calls of the doubles after the holder let go")
    expect_files({"Registry.pol": MERGED, "Registry.pol.bak": PREVIOUS})(suite, ctx)
    print("the run took %.2f s" % ctx.elapsed)


def lock_never_had(suite, ctx):
    # Whether the holder has let go yet or not, the folder is as it was.
    check_equal(read_file(os.path.join(ctx.pol, "Registry.pol")), PREVIOUS, "Registry.pol")
    check(not (set(os.listdir(ctx.pol)) - {"Registry.pol", "Registry.pol.lck"}),
          "files in the policy folder: %s" % sorted(os.listdir(ctx.pol)))
    check_equal(suite.query_values(TS_KEY), None, "registry after the run")
    rest, at_release = held_folder(ctx)
    check_equal((rest, at_release), ([], ["Registry.pol", "Registry.pol.lck"]), "after the holder let go")
    print("the run took %.2f s" % ctx.elapsed)


LOCK = [
    dict(name="lock.two_runs_together", args=["-path", "{pol}", "-bak", "1"], run=two_runs_together,
         lines=["exit code:0x0"], exit=0),
    dict(name="lock.held_2_s_then_taken", args=["-path", "{pol}", "-bak", "1"], before=hold_lock(2000),
         lines=["exit code:0x0"], exit=0, after=lock_waited_for),
    # The whole 60 s wait: run only with VELMORAST_WINE_SLOW=1.
    dict(name="lock.held_past_the_wait", args=["-path", "{pol}", "-bak", "1"], before=hold_lock(66000), slow=True,
         lines=["failed to lock policy folder. err:0x80070020"], exit=0x80070020, after=lock_never_had),
]

# ---------------------------------------------- gpt.ini and the read-only check

GPT_INI = os.path.join("windows", "system32", "GroupPolicy", "gpt.ini")
REGISTRY_GROUP = "[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F72-3407-48AE-BA88-E8213C6761F1}]"
CREATED_GPT_INI = ("[General]\r\ngPCFunctionalityVersion=2\r\ngPCMachineExtensionNames=%s\r\nVersion=1\r\n"
                   % REGISTRY_GROUP).encode("ascii")
# As the local policy editor leaves it with scripts and security settings.
EDITOR_GROUPS = ("[{42B5FAAE-6536-11D2-AE5A-0000F87571E3}{40B6664F-4972-11D1-A7CA-0000F87571E3}]"
                 "[{827D319E-6EAC-11D2-A4EA-00C04F79F83A}{803E14A0-B4FB-11D0-A0D0-00A0C90F574B}]")
EDITOR_GPT_INI = ("[General]\r\ngPCFunctionalityVersion=2\r\ngPCMachineExtensionNames=%s\r\n"
                  "gPCUserExtensionNames=[{42B5FAAE-6536-11D2-AE5A-0000F87571E3}{40B6664F-4972-11D1-A7CA-0000F87571E3}]\r\n"
                  "Version=65537\r\n" % EDITOR_GROUPS).encode("ascii")
EDITOR_GPT_INI_AFTER = EDITOR_GPT_INI.replace(
    b"gPCMachineExtensionNames=", b"gPCMachineExtensionNames=" + REGISTRY_GROUP.encode("ascii")).replace(
    b"Version=65537", b"Version=65538")


def gpt_ini_path(suite):
    return os.path.join(suite.drive_c, GPT_INI)


def snapshot(suite):
    """Bytes and time stamps of the default folder's files, and the registry."""
    files = {}
    for path in (gpt_ini_path(suite), os.path.join(suite.system32, "GroupPolicy", "Machine", "Registry.pol")):
        if os.path.exists(path):
            info = os.stat(path)
            files[path] = (read_file(path), info.st_mtime_ns, info.st_ino)
    return files, suite.query_values(TS_KEY)


def update_first(change=None):
    """A whole update in the default folder before the case's own run."""
    def before(suite, ctx):
        end_to_end_before(suite, ctx)
        output, exit_code = run_tool(suite, ctx, {"args": []})
        check_equal((output, exit_code), (console("exit code:0x0"), 0), "the update before the case")
        if change:
            change(suite, ctx)
        os.remove(ctx.log) if os.path.exists(ctx.log) else None
        ctx.snapshot = snapshot(suite)
    return before


def unchanged(extra=None):
    """The run changed no byte or time stamp, and started no gpupdate.exe."""
    def after(suite, ctx):
        check_equal(snapshot(suite), ctx.snapshot, "files and registry after the run")
        check(not any(line.startswith("gpupdate") for line in ctx.read_log()), "gpupdate.exe ran: %r" % ctx.read_log())
        if extra:
            extra(suite, ctx)
    return after


def expect_gpt_ini(expected):
    def after(suite, ctx):
        check_equal(read_file(gpt_ini_path(suite)), expected, "gpt.ini")
    return after


def write_gpt_ini(data):
    def before(suite, ctx):
        end_to_end_before(suite, ctx)
        write_file(gpt_ini_path(suite), data)
    return before


def change_policy_file(suite, ctx):
    path = os.path.join(suite.system32, "GroupPolicy", "Machine", "Registry.pol")
    write_file(path, preg.build(preg.parse(read_file(path)) + [(TS_KEY, "ColorDepth", REG_DWORD, 16)]))


def drop_record(suite, ctx):
    path = os.path.join(suite.system32, "GroupPolicy", "Machine", "Registry.pol")
    write_file(path, preg.build([r for r in preg.parse(read_file(path)) if r[1] != "ColorDepth"]))


def set_color_depth(suite, ctx):
    result = suite.wine(["reg", "add", "HKLM\\" + TS_KEY, "/v", "ColorDepth", "/t", "REG_DWORD", "/d", "16", "/f"])
    check(result.returncode == 0, "reg add failed")


def other_path_before(suite, ctx):
    os.makedirs(ctx.pol)
    write_file(ctx.path("gpt.ini"), EDITOR_GPT_INI)


def other_path_after(suite, ctx):
    check_equal(read_file(ctx.path("gpt.ini")), EDITOR_GPT_INI, "gpt.ini beside another policy folder")
    check(not os.path.exists(gpt_ini_path(suite)), "the machine's gpt.ini was made for another folder")


def gpt_ini_disk_full_before(suite, ctx):
    """GroupPolicy on a tmpfs of two pages: the previous gpt.ini takes one and
    the new Registry.pol the other, so gpt.ini's work file finds no room."""
    group_policy = os.path.join(suite.system32, "GroupPolicy")
    os.makedirs(group_policy)
    mount_tmpfs(ctx, group_policy, 2 * 4096)
    os.makedirs(os.path.join(group_policy, "Machine"))
    write_file(gpt_ini_path(suite), EDITOR_GPT_INI)


def gpt_ini_disk_full_after(suite, ctx):
    check_equal(read_file(gpt_ini_path(suite)), EDITOR_GPT_INI, "gpt.ini after the failed write")
    group_policy = os.path.join(suite.system32, "GroupPolicy")
    check_equal(sorted(os.listdir(group_policy)), ["Machine", "gpt.ini"], "files in GroupPolicy")
    check_equal(read_file(os.path.join(group_policy, "Machine", "Registry.pol")), NEW_FILE, "Registry.pol")
    check(not any(line.startswith("RefreshPolicy") for line in ctx.read_log()), "the refresh ran after a failure")


GPT_AND_CHECK = [
    dict(name="gpt_ini.created_on_first_run", args=[], before=end_to_end_before, lines=["exit code:0x0"], exit=0,
         after=expect_gpt_ini(CREATED_GPT_INI)),
    # Registry.pol is written with the bytes it had: gpt.ini keeps its bytes and time stamp.
    dict(name="gpt_ini.second_run_leaves_it_alone", args=[], before=update_first(), lines=["exit code:0x0"], exit=0,
         after=lambda suite, ctx: check_equal(snapshot(suite)[0][gpt_ini_path(suite)], ctx.snapshot[0][gpt_ini_path(suite)],
                                              "gpt.ini bytes and time stamp")),
    dict(name="gpt_ini.version_follows_a_changed_policy_file", args=[], before=update_first(change_policy_file),
         lines=["exit code:0x0"], exit=0, after=expect_gpt_ini(CREATED_GPT_INI.replace(b"Version=1", b"Version=2"))),
    dict(name="gpt_ini.editor_layout_gets_the_registry_group_in_order", args=[], before=write_gpt_ini(EDITOR_GPT_INI),
         lines=["exit code:0x0"], exit=0, after=expect_gpt_ini(EDITOR_GPT_INI_AFTER)),
    dict(name="gpt_ini.other_path_leaves_gpt_ini_alone", args=["-path", "{pol}"], before=other_path_before,
         lines=["exit code:0x0"], exit=0, after=other_path_after),
    dict(name="gpt_ini.disk_full_keeps_the_previous_gpt_ini", args=[], before=gpt_ini_disk_full_before,
         needs_mount=True, lines=["failed to write gpt.ini. err:0x80070070"], exit=0x80070070,
         after=gpt_ini_disk_full_after),
    dict(name="check.in_force_after_an_update", args=["-check", "1"], before=update_first(), lines=[], exit=0,
         after=unchanged()),
    dict(name="check.registry_value_changed", args=["-check", "1"], before=update_first(set_color_depth),
         lines=["not in force: ColorDepth in registry: type:4 size:4 data:0x10"], exit=1, after=unchanged()),
    dict(name="check.record_removed_from_the_policy_file", args=["-check", "1"], before=update_first(drop_record),
         lines=["not in force: ColorDepth in policy file: missing"], exit=1, after=unchanged()),
]

CASES = {row["name"]: row for row in STARTUP + POLICY_FILE + APPLY + SEARCH + LOCK + GPT_AND_CHECK}


# ---------------------------------------------------------------- the driver

def expand(row, ctx):
    """Fills {dir} and {pol} in a row's arguments and lines with the case's folders."""
    fill = lambda s: s.replace("{dir}", ctx.win_dir).replace("{pol}", ctx.win_pol)
    row = dict(row)
    row["args"] = [fill(a) for a in row.get("args", [])]
    if not callable(row["lines"]):
        row["lines"] = [fill(line) for line in row["lines"]]
    return row


def can_mount(suite):
    probe = os.path.join(suite.work, "mount-probe")
    os.makedirs(probe, exist_ok=True)
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4096", "velmorast-probe", probe],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode == 0:
        subprocess.run(["umount", probe])
        return True, ""
    return False, result.stdout.decode(errors="replace").strip()


def run_case(suite, name, options):
    """Runs one case; returns "passed", "failed" or "skipped"."""
    row = CASES[name]
    if row.get("slow") and not os.environ.get("VELMORAST_WINE_SLOW"):
        print("SKIP %s: takes over a minute; VELMORAST_WINE_SLOW=1 runs it" % name)
        return "skipped"
    if row.get("needs_mount") and not options.in_namespace:
        allowed, reason = can_mount(suite)
        # VELMORAST_WINE_FORCE_UNSHARE=1 takes the namespace road even where a
        # plain mount would do, so that it can be tried as root.
        if not allowed or os.environ.get("VELMORAST_WINE_FORCE_UNSHARE"):
            return run_in_namespace(suite, name, reason)
    ctx = Context(suite, name)
    ctx.row = expand(row, ctx)
    ctx.mounts = []
    started = time.monotonic()
    try:
        run_row(suite, ctx, ctx.row)
        verdict = "passed"
    except Failure as failure:
        print("FAIL %s: %s" % (name, failure))
        verdict = "failed"
    except subprocess.TimeoutExpired as timeout:
        print("FAIL %s: timed out: %s" % (name, timeout))
        verdict = "failed"
    finally:
        for process in ctx.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        for path in reversed(ctx.mounts):
            subprocess.run(["umount", path])
    print("%s %s (%.1f s)" % (verdict, name, time.monotonic() - started))
    return verdict


def run_in_namespace(suite, name, reason):
    """Without the right to mount here, runs the case in a user and mount
    namespace of its own. Wine opens files in the wineserver, so the server
    must see the mount too: the prefix's server is stopped first, one starts
    inside for the case, and it is stopped again before the namespace goes."""
    if not shutil.which("unshare"):
        print("SKIP %s: cannot mount a tmpfs (%s) and unshare is missing" % (name, reason))
        return "skipped"
    subprocess.run([WINESERVER, "-k"], env=suite.env, stderr=subprocess.DEVNULL, timeout=30)
    command = ["unshare", "-rm", "--propagation", "private", sys.executable, os.path.abspath(__file__),
               "--exe", suite.exe, "--launcher", suite.launcher, "--doubles", suite.doubles,
               "--work", suite.work, "--in-namespace", name]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=150)
    text = result.stdout.decode(errors="replace")
    # The prefix's own server again, persistent, for the cases that follow.
    start_persistent_server(suite)
    if result.returncode == 0 or re.search(r"^(passed|failed) ", text, re.M):
        sys.stdout.write(re.sub(r"^\d+ passed, \d+ failed.*\n", "", text, flags=re.M))
        return "passed" if result.returncode == 0 else "failed"
    print("SKIP %s: cannot mount a tmpfs here (%s), nor in a namespace of its own (unshare -rm: %s)"
          % (name, reason, text.strip().splitlines()[-1] if text.strip() else result.returncode))
    return "skipped"


def summary(verdicts):
    counts = [verdicts.count(v) for v in ("passed", "failed", "skipped")]
    line = "%d passed, %d failed" % tuple(counts[:2])
    if counts[2]:
        line += ", %d skipped" % counts[2]
    print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe")
    parser.add_argument("--launcher")
    parser.add_argument("--doubles")
    parser.add_argument("--work")
    parser.add_argument("--list", action="store_true", help="print the case names and exit")
    parser.add_argument("--setup", action="store_true", help="make a fresh prefix")
    parser.add_argument("--cleanup", action="store_true", help="stop the prefix's wineserver")
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("cases", nargs="*", help="case names (default: all, with setup and cleanup)")
    options = parser.parse_args()

    if options.list:
        print("\n".join(CASES))
        return 0
    for needed in ("exe", "launcher", "doubles", "work"):
        if not getattr(options, needed):
            parser.error("--%s is required" % needed)
    unknown = [c for c in options.cases if c not in CASES]
    if unknown:
        parser.error("unknown case(s): %s" % ", ".join(unknown))

    suite = Suite(options)
    if options.setup:
        suite.setup()
        return 0
    if options.cleanup:
        suite.cleanup()
        return 0

    everything = not options.cases
    started = time.monotonic()
    if everything or not os.path.isdir(suite.system32):
        suite.setup()
    verdicts = []
    try:
        for name in options.cases or CASES:
            verdicts.append(run_case(suite, name, options))
    finally:
        if everything or options.in_namespace:
            suite.cleanup()
    if everything:
        print("Wine suite: %.1f s" % (time.monotonic() - started))
    summary(verdicts)
    if "failed" in verdicts:
        return 1
    return SKIPPED if verdicts and all(v == "skipped" for v in verdicts) else 0


if __name__ == "__main__":
    sys.exit(main())
