#!/usr/bin/env python3
"""Fault sweep: every file-system call of a host session fails in turn.

One scripted session covers every request type: ping, add_download, open_app,
blob_begin, two blob_chunks, blob_end and an unknown type, all from Edge (by
the extension's `source` tag), with the data directory already holding both
heartbeat files and another browser's ("brave") entry. The session runs once
cleanly under strace to count the calls of each kind, then once per
injection point: strace's fault injection makes exactly the N-th call of one
kind fail with one error (`-e inject=CALL:error=ERRNO:when=N`; strace counts
per system call and per process, and the host is one process that starts
none here). After each run:

- the host exited with status 0, not by a signal;
- the replies are the expected ones, possibly cut short by exactly one final
  error reply ({"error":...,"ok":false}) with nothing after it; not even that
  when a result file of the application could not be opened for not being
  there (ENOENT): it went between the look and the read, and is polled again;
- both heartbeat files are valid (by the rules of the host's own reader; the
  seeds are, so files left untouched pass) and the "brave" entry is still
  there unchanged, checked after every reply too, since the application may
  read them at any moment; beside them at most one temporary file each, and
  nothing in the data directory that the host does not know;
- every job in inbox/ and every transfer description in browser-transfers/
  is complete JSON;
- no launch lock (desktop-launch.lock) is left behind;
- a blob that blob_end accepts holds exactly the bytes of the chunks that
  were acknowledged. When a run ends before blob_end was answered, a second,
  clean host sends blob_end for the same transfer, as an extension retrying
  after a broken connection would, and the same checks run again.

The desktop application is the project's stand-in (tools/standin), started
by this script outside strace under its own name, watching the run's data
directory. The host therefore never finds the application running: every
handoff and open_app takes the launch lock, finds no executable beside the
host and deletes the lock again, so the lock's calls are swept too, while
the stand-in answers the jobs.

Each run has a PID namespace with its own /proc (unshare, as root), so the
host's process snapshots see only strace and the host: the calls are the
same in every run and every point names one call (only the number of
result polls varies a little with the stand-in's timing). Where no
namespace can be made, the runs see the whole machine, hold the lock that
host tests with stand-ins take, and the calls on /proc, then in the
hundreds, are sampled evenly (at most SAMPLE_LIMIT points per call and
error); the calls after the first snapshot then drift from run to run.

With --kill the same session runs once per call with the host killed
(SIGKILL) on entering exactly that call (`-e inject=CALL:signal=KILL:when=N`),
as a browser kills its host whenever it likes. Then, with the host gone:

- both heartbeat files are valid and the "brave" entry is there unchanged;
- beside the files the host knows, the data directory holds at most one
  temporary file per heartbeat file, named after it and not "*.json";
- a clean host serves a ping from Edge, after which the same holds.

An injected error's call is not made at all. For close that is harsher than
a real failing close, which releases the descriptor all the same: a heartbeat
file's lock stays held by the host itself, its next request waits out the
lock's patience and skips that file, and later ones only try the lock. The
runs mostly sleep (the host's 50 ms polls, those waits), so several go at
once.

    python3 tests/faults/fault_sweep.py --host build/native/nimbra-native-host \
        --standin build/native/tools/standin [--jobs 8] [--only openat,write] [--kill]

Prints a table of call, error, points and failures, then each failure with
its point. Exit status: 0 when nothing failed, 1 otherwise, 77 (skipped)
without strace or where tracing is not permitted.
"""

import argparse
import base64
import concurrent.futures
import fcntl
import json
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SKIP_EXIT = 77

# The calls swept, each with the errors that the kernel can give it.
ERRORS = {
    # ENOENT: the file went between a look at it and its opening.
    "open": ("ENOSPC", "EIO", "EACCES", "ENOENT"),
    "openat": ("ENOSPC", "EIO", "EACCES", "ENOENT"),
    "read": ("EIO",),
    "pread64": ("EIO",),
    "write": ("ENOSPC", "EIO"),
    "pwrite64": ("ENOSPC", "EIO"),
    "ftruncate": ("ENOSPC", "EIO"),
    "mkdir": ("ENOSPC", "EIO", "EACCES"),
    "unlink": ("EIO", "EACCES"),
    "rename": ("ENOSPC", "EIO", "EACCES"),
    "renameat": ("ENOSPC", "EIO", "EACCES"),
    "renameat2": ("ENOSPC", "EIO", "EACCES"),
    "link": ("ENOSPC", "EIO", "EACCES"),
    "stat": ("EIO", "EACCES"),
    "lstat": ("EIO", "EACCES"),
    "fstat": ("EIO",),
    "newfstatat": ("EIO", "EACCES"),
    "statx": ("EIO", "EACCES"),
    # A lock can run out of kernel resources, and a blocking wait for one
    # can be interrupted.
    "flock": ("ENOLCK", "EINTR"),
    # Network file systems report deferred write errors at close.
    "close": ("EIO", "ENOSPC"),
    "getdents64": ("EIO",),
    "readlink": ("EIO", "EACCES"),
}
# Rows of the table, in this order; calls the host never makes show 0 points.
TABLE_CALLS = ("open", "openat", "read", "write", "pwrite64", "ftruncate", "mkdir", "unlink",
               "rename", "renameat2", "link", "newfstatat", "fstat", "statx", "flock", "close", "getdents64", "readlink")
SAMPLE_LIMIT = 40

EDGE = {"source": "nimbra-extension:edge:3.2.1", "extension_version": "3.2.1"}
TRANSFER_ID = "sweep_transfer_01"
BLOB = bytes(range(256)) * 9  # 2,304 bytes, every byte value
CHUNKS = (BLOB[:1000], BLOB[1000:])
# No `size`: blob_end then checks no length, so only the host's care keeps a
# transfer whose chunk failed from passing as complete.
SESSION = [
    ({"type": "ping", **EDGE},
     {"host": "com.velisto.nimbra", "ok": True, "version": "1.0.4"}),
    ({"type": "add_download", "url": "https://example.com/a.zip", **EDGE},
     {"launched": False, "ok": True}),
    ({"type": "open_app", **EDGE}, {"launched": False, "ok": False}),
    ({"type": "blob_begin", "transfer_id": TRANSFER_ID, "filename": "report.pdf", **EDGE},
     {"ok": True, "transfer_id": TRANSFER_ID}),
    *(({"type": "blob_chunk", "transfer_id": TRANSFER_ID,
        "data_base64": base64.b64encode(chunk).decode(), **EDGE},
       {"ok": True, "received": len(chunk)}) for chunk in CHUNKS),
    ({"type": "blob_end", "transfer_id": TRANSFER_ID, **EDGE},
     {"bytes": len(BLOB), "launched": False, "ok": True}),
    ({"type": "no_such_request", **EDGE}, {"error": "Unknown message type", "ok": False}),
]
BLOB_END = len(SESSION) - 2

# Both seeds are longer than what the host writes over them, so a rewrite
# that is not cut to length shows.
SEED_LEGACY = json.dumps({
    "browser_id": "brave", "extension_id": "kembcdlbgbcnnchcnbdhbmbhbejnedjf",
    "extension_version": "3.1.0-beta.12",
    "source": "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/126.0 Safari/537.36 Brave/126",
    "timestamp_ms": 1700000000000}, indent=2)
BRAVE = {"timestamp_ms": 1700000000000, "extension_id": "kembcdlbgbcnnchcnbdhbmbhbejnedjf",
         "extension_version": "3.1.0-beta.12"}
SEED_HEARTBEATS = json.dumps({"brave": BRAVE, "edge": BRAVE}, indent=2)

JOB_ID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
KILL = "KILL"  # in the error column: the host killed on entering the call
REPLY_TIMEOUT = 45  # a handoff may wait 35 s for the application
LOCK_FILE = "/tmp/nimbra-desktop-app-tests.native.lock"


# ---------------------------------------------------------------- a session


def frame(value):
    body = json.dumps(value).encode()
    return struct.pack("<I", len(body)) + body


class Pipe:
    """Reads whole frames from the host's output, with a deadline."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.buffer = b""

    def fill(self, count, deadline):
        while len(self.buffer) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError
            chunk = os.read(self.fd, 65536)
            if not chunk:
                return False
            self.buffer += chunk
        return True

    def frame(self, timeout):
        deadline = time.monotonic() + timeout
        if not self.fill(4, deadline):
            return None
        length = struct.unpack("<I", self.buffer[:4])[0]
        if not self.fill(4 + length, deadline):
            raise ValueError(f"output ends inside a frame: {self.buffer!r}")
        body, self.buffer = self.buffer[4:4 + length], self.buffer[4 + length:]
        return json.loads(body)


class Sweep:
    def __init__(self, args):
        self.host = str(Path(args.host).resolve())
        self.standin = str(Path(args.standin).resolve())
        self.namespace = not args.no_namespace and self.namespace_works()
        self.scratch = Path(tempfile.mkdtemp(prefix="nimbra-faults."))

    @staticmethod
    def namespace_works():
        probe = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", "true"],
                               capture_output=True)
        return probe.returncode == 0

    def wrap(self, command):
        if not self.namespace:
            return command
        return ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child", *command]

    def prepare(self, name):
        run_dir = self.scratch / name
        data = run_dir / "xdg" / "Velisto" / "Nimbra"
        data.mkdir(parents=True)
        (data / "extension-heartbeat.json").write_text(SEED_LEGACY)
        (data / "extension-heartbeats-v2.json").write_text(SEED_HEARTBEATS)
        return run_dir, data

    def drive(self, command, run_dir, data, requests, faults):
        """Runs one host with the stand-in answering; returns (replies, exit status).

        The heartbeat files are checked after every reply, while the host waits
        for the next request: the application may read them at any moment.
        """
        keepalive = run_dir / "standin-keepalive"
        keepalive.touch()
        standin = subprocess.Popen([self.standin, "--data-dir", str(data), "--run-while", str(keepalive),
                                    "--exit-after", "120"], stdout=subprocess.DEVNULL)
        env = dict(os.environ, XDG_DATA_HOME=str(run_dir / "xdg"))
        host = subprocess.Popen(self.wrap(command), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, cwd=run_dir, env=env)
        out = Pipe(host.stdout)
        replies = []
        try:
            for request in requests:
                try:
                    host.stdin.write(frame(request))
                    host.stdin.flush()
                except BrokenPipeError:
                    break
                reply = out.frame(REPLY_TIMEOUT)
                if reply is None:
                    break
                replies.append(reply)
                faults.extend(f"after reply {len(replies)}: {fault}" for fault in check_heartbeat_files(data))
            try:
                host.stdin.close()
            except BrokenPipeError:
                pass
            # Whatever else the host writes before it ends counts too.
            while (reply := out.frame(REPLY_TIMEOUT)) is not None:
                replies.append(reply)
            status = host.wait(REPLY_TIMEOUT)
        except (TimeoutError, subprocess.TimeoutExpired, BrokenPipeError, ValueError) as error:
            host.kill()
            host.wait()
            replies.append(f"<{type(error).__name__}: {error}>")
            status = host.returncode
        finally:
            keepalive.unlink()
            standin.wait()
        return replies, status

    def run(self, name, inject=None):
        """One session, with the host under strace; returns a list of faults found."""
        run_dir, data = self.prepare(name)
        trace = run_dir / "trace"
        strace = ["strace", "-q", "-y", "-s", "0", "-o", str(trace)]
        if inject:
            call, error, point = inject
            effect = "signal=KILL" if error == KILL else f"error={error}"
            strace += ["-e", f"trace={call}", "-e", f"inject={call}:{effect}:when={point}"]
        else:
            strace += ["-e", "trace=" + ",".join(ERRORS)]
        requests = [request for request, _ in SESSION]
        faults = []
        replies, status = self.drive([*strace, "--", self.host], run_dir, data, requests, faults)
        if inject and inject[1] == KILL:
            return faults + self.after_kill(run_dir, data), trace
        faults += check_session(replies, status, trace)
        # The application may rewrite a result by deletion and creation: one
        # gone between the host's look and its read is not there yet.
        if inject and inject[1] == "ENOENT" and (injected(trace, self.scratch) or "").startswith(
                "<data>/inbox-results/") and replies != [reply for _, reply in SESSION]:
            faults.append(f"a result gone before it was read ended the session: {json.dumps(replies)[:300]}")
        faults += check_files(data)
        faults += self.retry_blob_end(run_dir, data, replies)
        return faults, trace

    def after_kill(self, run_dir, data):
        """The files as the killed host left them, and after a clean host's ping."""
        faults = [f"at rest: {fault}" for fault in check_heartbeat_files(data) + check_data_dir(data)]
        ping, expected = SESSION[0]
        replies, status = self.drive([self.host], run_dir, data, [ping], faults)
        if replies != [expected] or status != 0:
            faults.append(f"the next host: exit status {status}, replies {json.dumps(replies)[:200]}")
        return faults + [f"after the next host: {fault}"
                         for fault in check_heartbeat_files(data) + check_data_dir(data)]

    def retry_blob_end(self, run_dir, data, replies):
        """A clean host sends blob_end once more when the session broke off before it."""
        if len(replies) > BLOB_END and replies[BLOB_END] == SESSION[BLOB_END][1]:
            return []
        request = SESSION[BLOB_END][0]
        faults = []
        retried, status = self.drive([self.host], run_dir, data, [request], faults)
        if status != 0:
            faults.append(f"retry: exit status {status}")
        acknowledged = b"".join(chunk for chunk, (_, expected), got
                                in zip(CHUNKS, SESSION[4:6], replies[4:6]) if got == expected)
        if retried and isinstance(retried[0], dict) and retried[0].get("ok") is True:
            part = data / "browser-transfers" / f"{TRANSFER_ID}.part"
            blob = part.read_bytes() if part.exists() else b""
            if blob != acknowledged:
                faults.append(f"retried blob_end accepted {len(blob)} bytes where "
                              f"{len(acknowledged)} were acknowledged")
        return faults + [f"after the retry: {fault}" for fault in check_files(data)]


# ---------------------------------------------------------------- the invariants


def check_session(replies, status, trace):
    faults = []
    text = trace.read_text(errors="replace") if trace.exists() else ""
    if status != 0 or "+++ killed by" in text:
        faults.append(f"exit status {status}" + (" (killed by a signal)" if "killed by" in text else ""))
    expected = [reply for _, reply in SESSION]
    if replies != expected:
        body, last = replies[:-1], replies[-1] if replies else None
        final_error = (isinstance(last, dict) and set(last) == {"error", "ok"}
                       and last["ok"] is False and isinstance(last["error"], str))
        if not (final_error and body == expected[:len(body)]):
            faults.append(f"replies {json.dumps(replies)[:400]}")
    return faults


def duplicate_free(pairs):
    keys = [key for key, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("a member given twice")
    return dict(pairs)


def valid_record(record):
    """A per-browser record as the host's reader takes it."""
    if isinstance(record, list):
        fields = record
        if len(fields) != 3:
            return False
    elif isinstance(record, dict):
        fields = [record.get(key) for key in ("timestamp_ms", "extension_id", "extension_version")]
    else:
        return False
    stamp, extension_id, version = fields
    return (type(stamp) is int and 0 <= stamp < 2 ** 64
            and isinstance(extension_id, str) and isinstance(version, str))


class Members(list):
    """A JSON object's members in file order, duplicates included."""


def check_heartbeats(path):
    """Valid, and the brave entry kept."""
    content = path.read_bytes() if path.exists() else None
    try:
        records = json.loads(content, object_pairs_hook=Members)
        if not isinstance(records, Members):
            raise ValueError("not an object")
        # Browser keys may repeat (the later wins), a record's members may not.
        entries = {key: duplicate_free(value) if isinstance(value, Members) else value
                   for key, value in records}
    except (TypeError, ValueError) as error:
        return [f"{path.name} is not valid ({error}): {content[:120]!r}"]
    if not all(valid_record(record) for record in entries.values()):
        return [f"{path.name} holds a record the host cannot read: {content[:120]!r}"]
    if entries.get("brave") != BRAVE:
        return [f"{path.name} lost the brave entry: {content[:200]!r}"]
    return []


def check_legacy(path):
    content = path.read_bytes() if path.exists() else None
    try:
        record = json.loads(content, object_pairs_hook=duplicate_free)
        good = (sorted(record) == ["browser_id", "extension_id", "extension_version", "source",
                                   "timestamp_ms"]
                and type(record["timestamp_ms"]) is int and isinstance(record["extension_id"], str))
    except (TypeError, ValueError):
        good = False
    return [] if good else [f"{path.name} is not valid: {content[:120]!r}"]


def check_heartbeat_files(data):
    """Both valid: untouched files are, since the seeds are."""
    return (check_legacy(data / "extension-heartbeat.json")
            + check_heartbeats(data / "extension-heartbeats-v2.json"))


HEARTBEAT_FILES = ("extension-heartbeat.json", "extension-heartbeats-v2.json")
KNOWN_NAMES = {*HEARTBEAT_FILES, "inbox", "inbox-results", "browser-transfers", "wake-main.flag",
               "desktop-launch.lock"}


def check_data_dir(data):
    """Nothing in the data directory but what the host knows, and at most one
    temporary file per heartbeat file, named after it and not "*.json"."""
    names = [path.name for path in sorted(data.iterdir()) if path.name not in KNOWN_NAMES]
    faults = [f"more than one temporary file beside {name}" for name in HEARTBEAT_FILES
              if sum(other.startswith(name + ".") for other in names) > 1]
    return faults + [f"an unexpected file in the data directory: {name}" for name in names
                     if name.endswith(".json") or not name.startswith(HEARTBEAT_FILES)]


def check_files(data):
    faults = check_heartbeat_files(data) + check_data_dir(data)
    for folder, what in (("inbox", "job"), ("browser-transfers", "transfer description")):
        for path in sorted((data / folder).glob("*.json")):
            try:
                json.loads(path.read_bytes())
            except ValueError:
                faults.append(f"{what} {folder}/{path.name} is not complete JSON: "
                              f"{path.read_bytes()[:60]!r}")
    if (data / "desktop-launch.lock").exists():
        faults.append("the launch lock was left behind")
    return faults


# ---------------------------------------------------------------- counting and sweeping


def target_of(line, scratch):
    """What a traced call acted on, shortened: a path or a stream."""
    stream = re.match(r"\w+\(([01])<pipe", line)
    if stream:
        return ("standard input", "standard output")[int(stream.group(1))]
    found = re.search(r'"(/[^"]*)"', line) or re.search(r"^\w+\(\d+<([^>]*)>", line)
    target = found.group(1) if found else "?"
    target = re.sub(r"^" + re.escape(str(scratch)) + r"/[^/]+/xdg/Velisto/Nimbra", "<data>", target)
    return JOB_ID.sub("<job>", target)


def traced_calls(trace, scratch):
    """Per call name, the targets of its calls in order."""
    calls = {}
    for line in trace.read_text(errors="replace").splitlines():
        found = re.match(r"(\w+)\((.*)", line)
        if found and found.group(1) in ERRORS:
            calls.setdefault(found.group(1), []).append(target_of(line, scratch))
    return calls


def points_of(targets):
    """Every call, but the calls on /proc evenly sampled when they are many."""
    proc = [i for i, target in enumerate(targets, 1) if target.startswith("/proc")]
    if len(proc) > SAMPLE_LIMIT:
        step = len(proc) / SAMPLE_LIMIT
        keep = {proc[int(k * step)] for k in range(SAMPLE_LIMIT)}
        proc = set(proc)
        return [i for i in range(1, len(targets) + 1) if i in keep or i not in proc]
    return list(range(1, len(targets) + 1))


def injected(trace, scratch):
    """What the injection hit: an error marks its call, a kill ends the trace."""
    lines = trace.read_text(errors="replace").splitlines()
    for line in lines:
        if "(INJECTED)" in line:
            return target_of(line, scratch)
    if any(line.startswith("+++ killed by SIGKILL") for line in lines):
        calls = [line for line in lines if re.match(r"\w+\(", line)]
        return target_of(calls[-1], scratch) if calls else "?"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--jobs", type=int, default=8, help="runs at once (default 8)")
    parser.add_argument("--only", help="comma-separated calls to sweep")
    parser.add_argument("--kill", action="store_true", help="kill the host at each call instead of failing it")
    parser.add_argument("--no-namespace", action="store_true", help="run against the machine's /proc")
    parser.add_argument("--keep", action="store_true", help="keep the run folders")
    args = parser.parse_args()

    if shutil.which("strace") is None:
        print("SKIP: strace is not installed (apt-get install strace)")
        return SKIP_EXIT
    if subprocess.run(["strace", "-o", "/dev/null", "true"], capture_output=True).returncode != 0:
        print("SKIP: tracing is not permitted here (ptrace)")
        return SKIP_EXIT

    started = time.monotonic()
    sweep = Sweep(args)
    lock = None
    if not sweep.namespace:
        print("no PID namespace: the host sees the machine's processes; taking", LOCK_FILE)
        lock = open(LOCK_FILE, "a")
        fcntl.flock(lock, fcntl.LOCK_EX)
    try:
        faults, trace = sweep.run("clean")
        if faults:
            print("the session fails without any fault injected:", *faults, sep="\n  ")
            return 1
        calls = traced_calls(trace, sweep.scratch)
        print("calls in a clean session:",
              ", ".join(f"{call} {len(targets)}" for call, targets in sorted(calls.items())))
        only = set(args.only.split(",")) if args.only else None
        plan = [(call, error, point) for call, targets in sorted(calls.items())
                if only is None or call in only
                for error in ((KILL,) if args.kill else ERRORS[call]) for point in points_of(targets)]

        def one(job):
            call, error, point = job
            found, run_trace = sweep.run(f"{call}-{error}-{point}", (call, error, point))
            return job, found, injected(run_trace, sweep.scratch)

        results = []
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            results = list(pool.map(one, plan))
    finally:
        if lock:
            lock.close()
        if not args.keep:
            shutil.rmtree(sweep.scratch, ignore_errors=True)

    rows = {}
    for (call, error, _), found, _ in results:
        row = rows.setdefault((call, error), [0, 0])
        row[0] += 1
        row[1] += bool(found)
    print(f"\n{'call':<12}{'error':<8}{'points':>7}{'failures':>10}")
    for call in TABLE_CALLS:
        errors = [error for c, error in rows if c == call] or ["-"]
        for error in errors:
            points, failed = rows.get((call, error), (0, 0))
            print(f"{call:<12}{error:<8}{points:>7}{failed:>10}")
    failures = [(job, found, target) for job, found, target in results if found]
    missed = sum(1 for _, _, target in results if target is None)
    print(f"\n{len(results)} points, {len(failures)} failures, {missed} of the points past the last "
          f"call of their run, {time.monotonic() - started:.0f} s"
          + ("" if sweep.namespace else " (no PID namespace: /proc calls sampled)"))
    for (call, error, point), found, target in failures:
        more = f" (and {len(found) - 1} more)" if len(found) > 1 else ""
        print(f"- {call} #{point} {error} on {target}: {JOB_ID.sub('<job>', found[0])[:240]}{more}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
