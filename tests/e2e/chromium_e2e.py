#!/usr/bin/env python3
"""End-to-end tests: headless Chromium, the test extension, and the host.

Chromium loads tests/e2e/extension/ (with a key generated here, so its id is
known in advance) and finds the host through a host manifest in its fresh
user-data-dir. The driver talks to Chromium over the DevTools pipe (file
descriptors 3 and 4, NUL-terminated JSON), attaches to the extension's service
worker and calls the helpers that background.js puts on globalThis.e2e. Every
exchange with the host therefore goes through Chromium's own native messaging
code, as it does for the real extension.

    python3 tests/e2e/chromium_e2e.py --host build/native/nimbra-native-host \
        [--tools-dir build/native/tools] [--chromium /usr/lib/chromium/chromium]

Each case gets its own temporary folder: a user-data-dir, an XDG_DATA_HOME
(where the host keeps Velisto/Nimbra), and a copy of the host with, where a
case needs it, the stand-in desktop application beside it. Everything a case
starts carries a marker in its environment, so that every process of the case
can be found and killed afterwards, including the ones that leave Chromium's
process group (the desktop application runs in a session of its own).

Standard library only. Prints one line per case, then "N passed, N failed";
the exit status is 0 only when every case passed. tests/e2e/fake_host.py
serves ping only and is there to check this harness itself (--host
tests/e2e/fake_host.py): ping and fatal_oversized pass with it, the rest fail.

With --installed-deb the suite runs once against the host as the Debian
package installs it, instead of against a copy of a built host:

    python3 tests/e2e/chromium_e2e.py \
        --installed-deb build/native/packages/velisto-nimbra-host_1.0.4_amd64.deb \
        [--tools-dir build/native/tools]

It needs root (exit status 77 otherwise, so a test runner can skip it) and
refuses to run where the package, or any file it would install, is already
present, since the purge at the end would take that away. It installs the
package with dpkg, checks that Chromium refuses the test extension while the
packaged manifests allow only the companion extension, lets nimbra-register
add the test extension to the system-wide manifests, and runs ping, session,
heartbeat and fatal_nesting with no manifest in the profile, so that Chromium
can only find the host through /etc/chromium/native-messaging-hosts. For the
session case the stand-in application is copied beside the installed host.
Whatever happens, the package is purged at the end and the folders it shares
with the system are put back as they were (dpkg removes an empty /etc/opt
that it did not create); anything the package leaves behind fails the run.

What Chromium (156, Linux) does with large or odd messages, as measured here:
- extension to host: a message's JSON text may be up to 64 MiB; above that
  postMessage and sendNativeMessage throw at once ("Message exceeded maximum
  allowed size of 64MiB.") and the port stays open. So a request over the
  host's 2 MiB does reach the host.
- host to extension: a reply body above 1,048,576 bytes makes Chromium end
  the connection ("Error when communicating with the native messaging host.").
- nesting is passed through unchanged (200 levels arrive as 200 levels), and
  member order is the extension's own, not sorted.
- after a fatal request the disconnect text is "Native host has exited." or,
  when Chromium was still writing into the host's input, "Error when
  communicating with the native messaging host."; in the second case the
  host's final reply can be lost (see case_fatal_oversized).
"""

import argparse
import base64
import fcntl
import hashlib
import io
import json
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import traceback
import uuid
from pathlib import Path

HOST_NAME = "com.velisto.nimbra"
PING_REPLY = {"host": HOST_NAME, "ok": True, "version": "1.0.4"}
TOO_LARGE_REPLY = {"error": "Native message too large", "ok": False}

HERE = Path(__file__).resolve().parent
EXTENSION_SOURCE = HERE / "extension"
DEFAULT_CHROMIUM = "/usr/lib/chromium/chromium"

# Name under which the host looks for the desktop application in its own folder.
DESKTOP_APP_NAME = "velisto-download-manager"
# Process names under which the host finds the application already running.
DESKTOP_APP_PROCESS_NAMES = ("velisto-download-manager", "velisto download manager")
STANDIN_TOOL = "standin"

# The host refuses request bodies above this many bytes.
MAX_REQUEST_BYTES = 2 * 1024 * 1024
# Deepest nesting of arrays and objects the host parses.
MAX_NESTING = 128
# Connections tried for the oversized request, whose reply Chromium can drop.
OVERSIZED_TRIES = 5
# Largest base64 text the host takes in one blob_chunk; 900,000 characters
# decode to 675,000 bytes, so every chunk but the last is a whole number of
# base64 groups.
CHUNK_CHARS = 900_000
CHUNK_BYTES = CHUNK_CHARS // 4 * 3

# The environment variable that marks every process a case starts.
MARKER = "NIMBRA_E2E_CASE"

CHROMIUM_FLAGS = [
    "--headless=new",
    "--no-sandbox",  # the tests run as root, where the sandbox refuses to start
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    # Recent Chromium ignores --load-extension unless this feature is off.
    "--disable-features=DisableLoadExtensionCommandLineSwitch",
    "--remote-debugging-pipe",
]

# Bounds on every wait. A handoff to the desktop application may legitimately
# take up to 35 s before the host gives up, so host requests get more.
BROWSER_START_TIMEOUT = 30.0
DEVTOOLS_CALL_TIMEOUT = 15.0
QUICK_REQUEST_MS = 15_000
HANDOFF_REQUEST_MS = 45_000
PROCESS_EXIT_TIMEOUT = 10.0
FOREIGN_APP_WAIT = 20.0
# Longer than any case, shorter than leaving a stray application around.
STANDIN_LIFETIME = 180

# --installed-deb: where the package puts things, and the one extension its
# own manifests allow.
INSTALLED_HOST = Path("/usr/lib/nimbra/nimbra-native-host")
INSTALLED_REGISTER = Path("/usr/bin/nimbra-register")
SYSTEM_MANIFEST = Path("/etc/chromium/native-messaging-hosts") / f"{HOST_NAME}.json"
COMPANION_EXTENSION_ID = "kembcdlbgbcnnchcnbdhbmbhbejnedjf"
# The exit status that tells the test runner the run was skipped (not root).
SKIP_EXIT = 77
DPKG_TIMEOUT = 30
# dpkg does not wait for its lock; someone else's apt run ends within this.
PURGE_RETRY_FOR = 40.0
# CTest ends a test that runs too long with SIGKILL, which would leave the
# package installed; the run stops itself well before that and still purges.
INSTALLED_RUN_LIMIT = 200


class Failure(Exception):
    """A case's expectation that did not hold; the message says which."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def compact(value, limit=300):
    text = json.dumps(value, sort_keys=True)
    return text if len(text) <= limit else text[:limit] + "..."


def same_json(a, b):
    """Equal as JSON values: unlike ==, true is not 1 here."""
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


def expect_reply(event, expected, what):
    """The event is a message from the host equal to `expected`.

    Member order is not compared: Chromium parses each reply into its own
    dictionary type, which orders members by itself.
    """
    check(event.get("kind") == "message",
          f"{what}: expected the reply {compact(expected)}, got {compact(event)}")
    check(same_json(event["message"], expected),
          f"{what}: expected {compact(expected)}, got {compact(event['message'])}")
    return event["message"]


# ---------------------------------------------------------------- processes


def read_proc(pid, name):
    try:
        with open(f"/proc/{pid}/{name}", "rb") as handle:
            return handle.read()
    except OSError:
        return None


def is_running(pid):
    """True while the process exists and has not yet exited (zombies count as gone)."""
    stat = read_proc(pid, "stat")
    if not stat:
        return False
    state = stat[stat.rfind(b")") + 1:].split()[0]
    return state not in (b"Z", b"X")


def all_pids():
    return [int(name) for name in os.listdir("/proc") if name.isdigit()]


def marked_pids(token):
    """Running processes whose environment carries this case's marker."""
    needle = f"{MARKER}={token}".encode()
    found = []
    for pid in all_pids():
        if pid == os.getpid():
            continue
        environ = read_proc(pid, "environ")
        if environ and needle in environ.split(b"\0") and is_running(pid):
            found.append(pid)
    return found


def pids_running(program):
    """Running processes of `program`: its executable, or a script run by an interpreter."""
    program = str(program)
    found = []
    for pid in all_pids():
        try:
            exe = os.readlink(f"/proc/{pid}/exe")
        except OSError:
            exe = None
        cmdline = read_proc(pid, "cmdline") or b""
        args = [arg.decode(errors="replace") for arg in cmdline.split(b"\0")[:3]]
        if (exe == program or program in args) and is_running(pid):
            found.append(pid)
    return found


def desktop_app_pids():
    """Processes that the host would take for the running desktop application."""
    found = []
    for pid in all_pids():
        try:
            name = os.path.basename(os.readlink(f"/proc/{pid}/exe")).removesuffix(" (deleted)")
        except OSError:
            continue
        if name.lower() in DESKTOP_APP_PROCESS_NAMES and is_running(pid):
            found.append(pid)
    return found


def wait_until(condition, timeout, interval=0.05):
    """Polls until `condition()` is truthy; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def kill_pids(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


# ---------------------------------------------------------------- DevTools over the pipe


class DevToolsPipe:
    """The DevTools protocol over --remote-debugging-pipe.

    Chromium reads commands on its descriptor 3 and writes answers and
    events on 4, each message one JSON text ended by a NUL byte. A reader
    thread files answers by id; events are not needed and are dropped.
    """

    def __init__(self, write_fd, read_fd):
        os.set_blocking(write_fd, False)
        self._write_fd = write_fd
        self._read_fd = read_fd
        self._cond = threading.Condition()
        self._answers = {}
        self._closed = False
        self._last_id = 0
        self._thread = threading.Thread(target=self._read_loop, daemon=True)
        self._thread.start()

    def _read_loop(self):
        pending = bytearray()
        while True:
            try:
                chunk = os.read(self._read_fd, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self._cond:
                    self._closed = True
                    self._cond.notify_all()
                return
            pending += chunk
            while True:
                end = pending.find(b"\0")
                if end < 0:
                    break
                text = bytes(pending[:end])
                del pending[:end + 1]
                try:
                    message = json.loads(text)
                except ValueError:
                    continue
                if "id" in message:
                    with self._cond:
                        self._answers[message["id"]] = message
                        self._cond.notify_all()

    def call(self, method, params=None, session_id=None, timeout=DEVTOOLS_CALL_TIMEOUT):
        with self._cond:
            self._last_id += 1
            call_id = self._last_id
        command = {"id": call_id, "method": method, "params": params or {}}
        if session_id:
            command["sessionId"] = session_id
        data = json.dumps(command).encode() + b"\0"
        deadline = time.monotonic() + timeout
        while data:
            # Non-blocking with select, so a browser that stops reading
            # cannot hold the driver beyond the call's timeout.
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([], [self._write_fd], [], left)[1]:
                raise Failure(f"DevTools {method}: the browser takes no commands")
            try:
                data = data[os.write(self._write_fd, data):]
            except BlockingIOError:
                continue
            except OSError as error:
                raise Failure(f"DevTools {method}: cannot write to the browser ({error})")
        with self._cond:
            self._cond.wait_for(lambda: call_id in self._answers or self._closed, timeout)
            answer = self._answers.pop(call_id, None)
            closed = self._closed
        if answer is None:
            raise Failure(f"DevTools {method}: " + (
                "the browser closed the pipe" if closed else f"no answer within {timeout:.0f} s"))
        if "error" in answer:
            raise Failure(f"DevTools {method}: {compact(answer['error'])}")
        return answer.get("result", {})

    def close(self):
        # The reader ends once Chromium has gone and its end of the pipe with it.
        self._thread.join(timeout=5)
        for fd in (self._write_fd, self._read_fd):
            try:
                os.close(fd)
            except OSError:
                pass


# ---------------------------------------------------------------- the test extension


def make_extension_key(folder):
    """An RSA key pair for the test extension, made with openssl.

    Returns (manifest key, extension id). Chromium derives an unpacked
    extension's id from the manifest's "key": the first 32 hex digits of the
    SHA-256 of the DER public key, each digit 0-f written as a letter a-p.
    """
    openssl = shutil.which("openssl")
    check(openssl is not None, "openssl is needed to make the test extension's key")
    private = folder / "extension-key.pem"
    subprocess.run([openssl, "genrsa", "-out", str(private), "2048"],
                   check=True, capture_output=True, timeout=60)
    der = subprocess.run([openssl, "rsa", "-in", str(private), "-pubout", "-outform", "DER"],
                         check=True, capture_output=True, timeout=60).stdout
    digest = hashlib.sha256(der).hexdigest()[:32]
    extension_id = "".join(chr(ord("a") + int(digit, 16)) for digit in digest)
    return base64.b64encode(der).decode(), extension_id


def write_extension(folder, key):
    folder.mkdir(parents=True)
    manifest = json.loads((EXTENSION_SOURCE / "manifest.template.json").read_text())
    manifest["key"] = key
    (folder / "manifest.json").write_text(json.dumps(manifest, indent=2))
    shutil.copy(EXTENSION_SOURCE / "background.js", folder / "background.js")


class ExtensionWorker:
    """The test extension's service worker, reached through a DevTools session."""

    def __init__(self, pipe, session_id):
        self._pipe = pipe
        self._session = session_id

    def evaluate(self, expression, timeout=DEVTOOLS_CALL_TIMEOUT):
        result = self._pipe.call("Runtime.evaluate", {
            "expression": expression,
            "awaitPromise": True,
            "returnByValue": True,
        }, session_id=self._session, timeout=timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise Failure(f"the extension threw: {text}")
        return result.get("result", {}).get("value")

    def call(self, helper, *args, timeout=DEVTOOLS_CALL_TIMEOUT):
        """Calls globalThis.e2e.<helper>(args) in the worker and returns its value."""
        arguments = ", ".join(json.dumps(arg) for arg in args)
        return self.evaluate(f"globalThis.e2e.{helper}({arguments})", timeout=timeout)

    def request(self, session, message, timeout_ms=QUICK_REQUEST_MS):
        return self.call("request", session, message, timeout_ms,
                         timeout=timeout_ms / 1000 + 5)


# ---------------------------------------------------------------- one browser


class Browser:
    """A headless Chromium in a process group of its own, driven over the pipe."""

    def __init__(self, chromium, profile, extension_dir, env, log_path):
        self.log_path = log_path
        command_read, command_write = os.pipe()
        answer_read, answer_write = os.pipe()
        # The child's ends go above 9 so that the shell below can place them
        # on 3 and 4 without one redirection clobbering the other (bash, not
        # sh: dash takes only single-digit descriptors in redirections).
        child_in = fcntl.fcntl(command_read, fcntl.F_DUPFD_CLOEXEC, 10)
        child_out = fcntl.fcntl(answer_write, fcntl.F_DUPFD_CLOEXEC, 10)
        os.close(command_read)
        os.close(answer_write)
        args = CHROMIUM_FLAGS + [
            f"--user-data-dir={profile}",
            f"--load-extension={extension_dir}",
            "about:blank",
        ]
        # bash only places the pipe ends and then becomes Chromium (exec), so
        # the host's parent is Chromium itself, as with a real browser.
        script = f'exec "$0" "$@" 3<&{child_in} 4>&{child_out} {child_in}<&- {child_out}>&-'
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen(
                ["/bin/bash", "-c", script, chromium] + args,
                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                pass_fds=(child_in, child_out), start_new_session=True)
        os.close(child_in)
        os.close(child_out)
        self.pipe = DevToolsPipe(command_write, answer_read)

    def extension_worker(self, extension_id):
        """Attaches to the extension's service worker once its helpers exist."""
        prefix = f"chrome-extension://{extension_id}/"
        deadline = time.monotonic() + BROWSER_START_TIMEOUT
        self.pipe.call("Target.setDiscoverTargets", {"discover": True})
        target = None
        while target is None:
            for info in self.pipe.call("Target.getTargets").get("targetInfos", []):
                if info.get("type") == "service_worker" and info.get("url", "").startswith(prefix):
                    target = info
            if target is None:
                check(self.process.poll() is None,
                      f"Chromium exited with status {self.process.returncode} before the extension started")
                check(time.monotonic() < deadline,
                      f"no service worker of {prefix} within {BROWSER_START_TIMEOUT:.0f} s "
                      "(extension not loaded?)")
                time.sleep(0.1)
        attached = self.pipe.call("Target.attachToTarget",
                                  {"targetId": target["targetId"], "flatten": True})
        worker = ExtensionWorker(self.pipe, attached["sessionId"])
        # The target can be listed before background.js has run to its end.
        while worker.evaluate("globalThis.e2e !== undefined && globalThis.e2e.ready === true") is not True:
            check(time.monotonic() < deadline,
                  f"the extension's helpers did not appear within {BROWSER_START_TIMEOUT:.0f} s")
            time.sleep(0.05)
        return worker

    def stop(self):
        """Ends Chromium's whole process group, politely first."""
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
            except OSError:
                pass
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except OSError:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        if self.pipe is not None:
            self.pipe.close()

    def log_tail(self, lines=12):
        """Chromium's last lines, without the D-Bus complaints of a machine that has no bus."""
        try:
            text = self.log_path.read_text(errors="replace")
        except OSError:
            return []
        return [line for line in text.splitlines() if ":ERROR:dbus/" not in line][-lines:]


# ---------------------------------------------------------------- one case


class Case:
    """A case's world: its folders, its host copy, its browser, and its notes."""

    def __init__(self, suite, name):
        self.suite = suite
        self.name = name
        self.token = uuid.uuid4().hex
        # Resolved, to compare with the links in /proc, which are always real paths.
        self.root = Path(tempfile.mkdtemp(prefix=f"nimbra-e2e-{name}-")).resolve()
        self.profile = self.root / "profile"
        self.data_home = self.root / "data"
        self.bin = self.root / "bin"
        self.home = self.root / "home"
        for folder in (self.profile, self.data_home, self.bin, self.home):
            folder.mkdir()
        self.record_dir = self.root / "standin-record"
        # An installed host is used where the package put it, not copied.
        self.host = suite.host if suite.installed else self.bin / suite.host.name
        self.browser = None
        self.notes = []
        # Files this case put outside its own folder, removed by cleanup.
        self.placed = []
        # So that a run cut short can still find this case's processes.
        suite.cases.append(self)

    @property
    def data_dir(self):
        """The host's per-user data directory for this case."""
        return self.data_home / "Velisto" / "Nimbra"

    def note(self, text):
        self.notes.append(text)

    def standin_program(self):
        standin = self.suite.tools_dir / STANDIN_TOOL if self.suite.tools_dir else None
        check(standin is not None and standin.is_file(),
              f"stand-in desktop application not built: {standin or '(no --tools-dir)'} "
              "is missing (it comes from tools/standin)")
        return standin

    def wait_for_foreign_app(self):
        # The host looks for the application in the whole process table;
        # one started by someone else (another test run) would take this
        # case's jobs away. Give such a run a while to finish first.
        if desktop_app_pids():
            waited = time.monotonic()
            wait_until(lambda: not desktop_app_pids(), FOREIGN_APP_WAIT)
            self.note(f"waited {time.monotonic() - waited:.2f} s for another run's application to end")
        foreign = desktop_app_pids()
        check(not foreign, f"a desktop application of someone else runs (pids {foreign}); "
                           "the host would hand its jobs to that one")

    def place_programs(self, with_desktop_app=False):
        """A copy of the host in the case's folder, or the installed one, with the stand-in beside it if asked."""
        if self.suite.installed:
            self.use_installed_host(with_desktop_app)
            return
        check(self.suite.host.is_file(), f"host not found: {self.suite.host}")
        shutil.copy2(self.suite.host, self.host)
        if with_desktop_app:
            shutil.copy2(self.standin_program(), self.bin / DESKTOP_APP_NAME)
            self.wait_for_foreign_app()

    def install_host(self, with_desktop_app=False):
        self.place_programs(with_desktop_app)
        if self.suite.installed:
            return
        manifest_dir = self.profile / "NativeMessagingHosts"
        manifest_dir.mkdir()
        (manifest_dir / f"{HOST_NAME}.json").write_text(json.dumps({
            "name": HOST_NAME,
            "description": "Nimbra native messaging host (end-to-end test copy)",
            "path": str(self.host),
            "type": "stdio",
            "allowed_origins": [f"chrome-extension://{self.suite.extension_id}/"],
        }, indent=2))

    def use_installed_host(self, with_desktop_app):
        """The packaged host, found by Chromium through the system-wide manifest only.

        Nothing is written to the profile: a manifest there would win over
        /etc/chromium/native-messaging-hosts and hide what the package did.
        """
        check(self.host.is_file(), f"the package did not install the host at {self.host}")
        if with_desktop_app:
            # The host starts the application from its own folder only.
            target = self.host.parent / DESKTOP_APP_NAME
            self.placed.append(target)
            shutil.copy2(self.standin_program(), target)
            self.wait_for_foreign_app()

    def start_browser(self):
        check(os.access(self.suite.chromium, os.X_OK), f"Chromium not found at {self.suite.chromium}")
        check(self.suite.extension_key is not None, "no extension key")
        if self.suite.installed:
            check(not (self.profile / "NativeMessagingHosts").exists(),
                  "the profile has a NativeMessagingHosts folder of its own")
        extension_dir = self.root / "extension"
        write_extension(extension_dir, self.suite.extension_key)
        started = time.monotonic()
        self.browser = Browser(self.suite.chromium, self.profile, extension_dir, self.browser_env(),
                               self.root / "chromium.log")
        worker = self.browser.extension_worker(self.suite.extension_id)
        self.note(f"browser and extension ready after {time.monotonic() - started:.2f} s")
        return worker

    def browser_env(self):
        """The browser's environment, which the host and the application inherit."""
        env = dict(os.environ)
        env.update({
            "HOME": str(self.home),
            "XDG_CONFIG_HOME": str(self.home / ".config"),
            "XDG_CACHE_HOME": str(self.home / ".cache"),
            # The host inherits this from Chromium and keeps its data below it.
            "XDG_DATA_HOME": str(self.data_home),
            MARKER: self.token,
            # Read by the stand-in application, which inherits them through
            # Chromium and the host: where to log what it does, and an end
            # of its own should this driver die before it can kill it.
            "NIMBRA_STANDIN_RECORD": str(self.record_dir),
            "NIMBRA_STANDIN_EXIT_AFTER": str(STANDIN_LIFETIME),
        })
        return env

    def standin_record(self):
        """Everything the stand-in application logged, from every instance."""
        lines = []
        for log in sorted(self.record_dir.glob("standin-*.log")):
            lines += log.read_text(errors="replace").splitlines()
        return lines

    def standin_lines(self, word):
        """The stand-in's log lines that hold `word` as one of their words."""
        return [line for line in self.standin_record() if word in line.split()]

    def wait_host_gone(self, what):
        """Bounded wait until no process of this case's host copy runs."""
        started = time.monotonic()
        left = wait_until(lambda: not pids_running(self.host), PROCESS_EXIT_TIMEOUT)
        check(left, f"{what}: the host still runs {PROCESS_EXIT_TIMEOUT:.0f} s later "
                    f"(pids {pids_running(self.host)})")
        self.note(f"{what}: host gone after {(time.monotonic() - started) * 1000:.0f} ms")

    def cleanup(self):
        """Kills everything the case started and removes its folder."""
        if self.browser is not None:
            self.browser.stop()
        # Whatever left the process group: the host if Chromium lost track of
        # it, and the desktop application, which runs in its own session.
        for _ in range(3):
            leftovers = marked_pids(self.token)
            if not leftovers:
                break
            kill_pids(leftovers)
            wait_until(lambda: not marked_pids(self.token), 5)
        for path in self.placed:
            path.unlink(missing_ok=True)
        if self.suite.keep:
            self.note(f"kept {self.root}")
        else:
            shutil.rmtree(self.root, ignore_errors=True)


# ---------------------------------------------------------------- the cases


def case_ping(case):
    """sendNativeMessage ping gives the fixed ping reply; the one-shot host then ends."""
    case.install_host()
    worker = case.start_browser()
    event = worker.call("sendNative", {"type": "ping"}, QUICK_REQUEST_MS,
                        timeout=QUICK_REQUEST_MS / 1000 + 5)
    expect_reply(event, PING_REPLY, "ping")
    # Chromium closes the host's input after the one reply; the host must end.
    case.wait_host_gone("after the one-shot ping")


def case_session(case):
    """A connectNative session: add_download, open_app, and a blob transfer of a few MiB.

    The stand-in application (tools/standin) answers {"ok":true} to a
    download job and {"bytes":N,"ok":true} to an import job, leaves the
    imported file at the job's temp_path, removes the wake flag when it sees
    it, and logs each of these to the record folder named in its environment.
    """
    case.install_host(with_desktop_app=True)
    worker = case.start_browser()
    session = worker.call("openSession")

    began = time.monotonic()
    event = worker.request(session, {"type": "add_download", "url": "https://example.invalid/file.zip"},
                           HANDOFF_REQUEST_MS)
    expect_reply(event, {"launched": True, "ok": True}, "add_download")
    case.note(f"add_download (starting the application): {time.monotonic() - began:.2f} s")
    check(case.standin_lines("type=add_download"),
          f"add_download: the stand-in application recorded no download job: {case.standin_record()}")

    began = time.monotonic()
    event = worker.request(session, {"type": "open_app"}, QUICK_REQUEST_MS)
    expect_reply(event, {"launched": True, "ok": True}, "open_app")
    case.note(f"open_app: {time.monotonic() - began:.2f} s")
    # The running application takes the flag away as soon as it sees it.
    check(wait_until(lambda: case.standin_lines("wake"), 5),
          f"open_app: the stand-in application never saw the wake flag: {case.standin_record()}")

    began = time.monotonic()
    options = blob_options(case)
    result = worker.call("blobTransfer", session, options, timeout=HANDOFF_REQUEST_MS / 1000 * 2 + 30)
    check_blob_transfer(case, options, result)
    case.note(f"blob transfer: {time.monotonic() - began:.2f} s with generating and hashing")

    # The first request started the application; the later ones found it running.
    starts = case.standin_lines("start")
    check(len(starts) == 1, f"the stand-in application was started {len(starts)} times, "
                            f"expected once: {case.standin_record()}")

    worker.call("closeSession", session)
    case.wait_host_gone("after the port closed")


def blob_options(case):
    """blobTransfer's options: a size that leaves a short last chunk, so the final base64 group is padded."""
    return {"transferId": f"e2e-{case.token[:16]}", "filename": "generated.bin",
            "contentType": "application/octet-stream", "size": 3 * 1024 * 1024 + 1,
            "chunkChars": CHUNK_CHARS, "timeoutMs": HANDOFF_REQUEST_MS}


def check_blob_transfer(case, options, result):
    """Every reply of the transfer was right, and the imported file is the extension's bytes."""
    size, transfer_id = options["size"], options["transferId"]
    steps = result["steps"]
    expect_reply(steps[0]["event"], {"ok": True, "transfer_id": transfer_id}, "blob_begin")
    chunks = [step for step in steps if step["request"] == "blob_chunk"]
    expected_chunks = math.ceil(size / CHUNK_BYTES)
    for index, step in enumerate(chunks):
        expected_bytes = min(CHUNK_BYTES, size - index * CHUNK_BYTES)
        expect_reply(step["event"], {"ok": True, "received": expected_bytes},
                     f"blob_chunk {index + 1} of {expected_chunks}")
    check(len(chunks) == expected_chunks,
          f"blob transfer sent {len(chunks)} chunks, expected {expected_chunks}")
    check(steps[-1]["request"] == "blob_end", f"blob transfer stopped early: {compact(steps[-1])}")
    expect_reply(steps[-1]["event"], {"bytes": size, "launched": True, "ok": True}, "blob_end")

    imported = case.data_dir / "browser-transfers" / f"{transfer_id}.part"
    check(imported.is_file(), f"imported file not found at {imported}")
    digest = hashlib.sha256(imported.read_bytes()).hexdigest()
    check(digest == result["sha256"],
          f"imported file {imported} ({imported.stat().st_size} bytes) has SHA-256 {digest}, "
          f"the extension sent {result['size']} bytes with SHA-256 {result['sha256']}")
    case.note(f"blob transfer: {size} bytes in {len(chunks)} chunks, SHA-256 matches")


def case_heartbeat(case):
    """A request leaves an entry "chrome" in extension-heartbeats-v2.json, from the ancestry alone."""
    case.install_host()
    worker = case.start_browser()
    extension_id = worker.evaluate("globalThis.e2e.extensionId")
    version = worker.evaluate("globalThis.e2e.extensionVersion")
    before_ms = int(time.time() * 1000)
    # No browser_id or source: only the process ancestry can name the browser.
    event = worker.call("sendNative", {"type": "ping", "extension_id": extension_id,
                                       "extension_version": version},
                        QUICK_REQUEST_MS, timeout=QUICK_REQUEST_MS / 1000 + 5)
    after_ms = int(time.time() * 1000) + 1
    expect_reply(event, PING_REPLY, "ping")

    path = case.data_dir / "extension-heartbeats-v2.json"
    check(path.is_file(), f"no heartbeat file at {path}")
    heartbeats = json.loads(path.read_text())
    check(isinstance(heartbeats, dict) and set(heartbeats) == {"chrome"},
          f"{path.name} should hold exactly the entry 'chrome', got {compact(heartbeats)}")
    entry = heartbeats["chrome"]
    check(entry.get("extension_id") == extension_id and entry.get("extension_version") == version,
          f"'chrome' entry should carry {extension_id} {version}, got {compact(entry)}")
    stamp = entry.get("timestamp_ms")
    check(isinstance(stamp, int) and before_ms <= stamp <= after_ms,
          f"'chrome' entry timestamp_ms {stamp} is not from the request "
          f"(sent between {before_ms} and {after_ms})")

    legacy_path = case.data_dir / "extension-heartbeat.json"
    check(legacy_path.is_file(), f"no legacy heartbeat file at {legacy_path}")
    legacy = json.loads(legacy_path.read_text())
    check(legacy.get("browser_id") == "chrome",
          f"{legacy_path.name} should name browser 'chrome', got {compact(legacy)}")


def end_of_fatal_request(case, worker, session, what):
    """After a final error reply: onDisconnect, and no host process left."""
    event = worker.call("next", session, QUICK_REQUEST_MS, timeout=QUICK_REQUEST_MS / 1000 + 5)
    check(event.get("kind") == "disconnect",
          f"{what}: expected onDisconnect after the final error reply, got {compact(event)}")
    case.wait_host_gone(f"{what}")
    return event.get("error")


def case_fatal_oversized(case):
    """A request over the host's 2 MiB ends the host: final error reply, onDisconnect, no host left.

    Chromium lets an extension send up to 64 MiB, so the oversized request
    reaches the host, which reads only its length and ends. Chromium is then
    still writing the body into the host's input; when that write fails
    before Chromium has read the host's output, it reports "Error when
    communicating with the native messaging host." and drops the final
    reply unread (a few percent of tries on a busy machine). So each try
    uses a fresh connection, a delivered reply must be exactly the
    too-large reply, and at least one of OVERSIZED_TRIES must deliver it.
    """
    case.install_host()
    worker = case.start_browser()
    pad = MAX_REQUEST_BYTES + 1024
    delivered = dropped = 0
    for attempt in range(1, OVERSIZED_TRIES + 1):
        what = f"oversized request, try {attempt}"
        session = worker.call("openSession")
        # The connection works before the fatal request.
        expect_reply(worker.request(session, {"type": "ping"}), PING_REPLY, f"{what}: ping before")
        event = worker.call("requestPadded", session, {"type": "ping"}, pad, QUICK_REQUEST_MS,
                            timeout=QUICK_REQUEST_MS / 1000 + 5)
        check(event.get("kind") != "thrown", f"{what}: Chromium refused to send it: {compact(event)}")
        if event.get("kind") == "disconnect":
            dropped += 1
            case.note(f"{what}: onDisconnect {event.get('error')!r} without the reply")
            case.wait_host_gone(what)
            continue
        expect_reply(event, TOO_LARGE_REPLY, what)
        error = end_of_fatal_request(case, worker, session, what)
        case.note(f"{what}: final reply, then onDisconnect {error!r}")
        delivered += 1
        break
    check(delivered == 1, f"no final error reply reached the extension in {dropped} tries")


def case_fatal_nesting(case):
    """JSON nested deeper than the host's 128 levels ends the host: final error reply, onDisconnect.

    Chromium passes deep nesting through unchanged, so this is a parse
    failure an extension can cause. The host has read the whole message
    before it fails, so, unlike the oversized request, nothing of Chromium's
    is left unwritten and the final reply always arrives.
    """
    case.install_host()
    worker = case.start_browser()
    session = worker.call("openSession")
    expect_reply(worker.call("requestNested", session, {"type": "ping"}, MAX_NESTING, QUICK_REQUEST_MS,
                             timeout=QUICK_REQUEST_MS / 1000 + 5),
                 PING_REPLY, f"ping {MAX_NESTING} levels deep")
    event = worker.call("requestNested", session, {"type": "ping"}, MAX_NESTING + 1, QUICK_REQUEST_MS,
                        timeout=QUICK_REQUEST_MS / 1000 + 5)
    what = f"ping {MAX_NESTING + 1} levels deep"
    check(event.get("kind") == "message", f"{what}: expected the final error reply, got {compact(event)}")
    reply = event["message"]
    check(isinstance(reply, dict) and set(reply) == {"error", "ok"} and reply["ok"] is False
          and str(reply["error"]).startswith("recursion limit exceeded"),
          f"{what}: expected {{\"error\":\"recursion limit exceeded...\",\"ok\":false}}, got {compact(reply)}")
    error = end_of_fatal_request(case, worker, session, what)
    case.note(f"{what}: {reply['error']!r}, then onDisconnect {error!r}")


CASES = [
    ("ping", case_ping),
    ("session", case_session),
    ("heartbeat", case_heartbeat),
    ("fatal_oversized", case_fatal_oversized),
    ("fatal_nesting", case_fatal_nesting),
]

# What an installed host adds to the picture is how Chromium finds and starts
# it, and where it finds the application; the oversized request is about the
# host's input handling alone, which the normal run covers.
INSTALLED_CASES = ("ping", "session", "heartbeat", "fatal_nesting")


# ---------------------------------------------------------------- the installed package


def origin(extension_id):
    return f"chrome-extension://{extension_id}/"


def check_manifests(paths, allowed):
    """Every system-wide manifest names the installed host and allows exactly `allowed`."""
    for path in paths:
        check(path.is_file(), f"no manifest at {path}")
        try:
            manifest = json.loads(path.read_text())
        except ValueError as error:
            raise Failure(f"{path} is not JSON: {error}")
        check(isinstance(manifest, dict) and manifest.get("name") == HOST_NAME
              and manifest.get("type") == "stdio" and manifest.get("path") == str(INSTALLED_HOST),
              f"{path} should name {HOST_NAME}, stdio, {INSTALLED_HOST}: {compact(manifest)}")
        origins = manifest.get("allowed_origins")
        check(isinstance(origins, list) and sorted(origins) == sorted(origin(i) for i in allowed),
              f"{path} should allow exactly {sorted(allowed)}, allows {compact(origins)}")


def case_packaged_manifest(case):
    """The package's manifests allow only the companion extension, so Chromium refuses the test extension.

    "forbidden" is what Chromium says when it found a manifest that does not
    allow the caller; without one it says the host was not found. So this
    also shows that Chromium reads /etc/chromium/native-messaging-hosts.
    """
    check_manifests(case.suite.package.manifests, [COMPANION_EXTENSION_ID])
    case.install_host()
    worker = case.start_browser()
    event = worker.call("sendNative", {"type": "ping"}, QUICK_REQUEST_MS,
                        timeout=QUICK_REQUEST_MS / 1000 + 5)
    check(event.get("kind") == "error" and "forbidden" in str(event.get("error")).lower(),
          f"ping from the test extension: expected Chromium to refuse it as forbidden, got {compact(event)}")
    check(not pids_running(case.host), "Chromium started the host for an extension the manifest does not allow")
    case.note(f"refused: {event.get('error')!r}")


def case_register(case):
    """nimbra-register install --system adds the test extension to every system-wide manifest."""
    command = [str(INSTALLED_REGISTER), "install", "--system", "--host", str(INSTALLED_HOST),
               "--extension-id", case.suite.extension_id, "--extension-id", COMPANION_EXTENSION_ID]
    began = time.monotonic()
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=60)
    check(result.returncode == 0,
          f"{' '.join(command)} exited with {result.returncode}: {(result.stdout + result.stderr).strip()}")
    case.note(f"{INSTALLED_REGISTER.name} install --system: {time.monotonic() - began:.2f} s")
    check_manifests(case.suite.package.manifests, [case.suite.extension_id, COMPANION_EXTENSION_ID])


def run_program(command, timeout):
    """(exit status, output) of a program run with no terminal to ask questions on."""
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, env=env, timeout=timeout)
    except FileNotFoundError:
        return 127, f"{command[0]} not found"
    except subprocess.TimeoutExpired:
        return -1, f"{' '.join(command)} did not finish within {timeout} s"
    return result.returncode, result.stdout.decode(errors="replace").strip()


class Package:
    """The .deb of one run: what it installs, and how the system looked before.

    dpkg removes on purge every folder of the package that has become empty,
    including ones it found already there (an empty /etc/opt of the system),
    so each folder's presence and mode is noted before the install.
    """

    def __init__(self, deb):
        self.deb = Path(deb).resolve()
        self.name = None
        self.files = []       # everything but folders, as absolute paths
        self.folders = {}     # folder -> os.stat_result before the install, or None
        self.manifests = []

    def preflight(self):
        """None when the run may go ahead; otherwise why it must not."""
        if not self.deb.is_file():
            return f"no package at {self.deb} (cpack -G DEB in the build tree makes it)"
        status, name = run_program(["dpkg-deb", "--field", str(self.deb), "Package"], 60)
        if status != 0 or not name:
            return f"dpkg-deb cannot read {self.deb}: {name}"
        self.name = name
        status, state = run_program(["dpkg-query", "--show", "--showformat=${Status}", name], 60)
        if status == 0 and not state.endswith("not-installed"):
            return (f"{name} is on this system already ({state}); this run would replace it and "
                    f"purge it at the end: remove it first with dpkg -P {name}")
        try:
            data = subprocess.run(["dpkg-deb", "--fsys-tarfile", str(self.deb)], stdin=subprocess.DEVNULL,
                                  capture_output=True, check=True, timeout=60).stdout
            with tarfile.open(fileobj=io.BytesIO(data)) as archive:
                members = archive.getmembers()
        except (OSError, subprocess.SubprocessError, tarfile.TarError) as error:
            return f"cannot list {self.deb}: {error}"
        for member in members:
            path = Path(os.path.normpath("/" + member.name))
            if path == Path("/"):
                continue
            if member.isdir():
                self.folders[path] = os.stat(path) if path.is_dir() else None
            else:
                self.files.append(path)
        # Chromium's, all under /etc; Firefox's is in /usr/lib/mozilla.
        self.manifests = sorted(p for p in self.files if p.parts[1] == "etc"
                                and p.parent.name == "native-messaging-hosts" and p.name == f"{HOST_NAME}.json")
        for needed in (INSTALLED_HOST, INSTALLED_REGISTER, SYSTEM_MANIFEST):
            if needed not in self.files:
                return f"{self.deb.name} does not install {needed}"
        # The purge would delete these along with the package's own.
        present = [str(p) for p in self.files + [INSTALLED_HOST.parent / DESKTOP_APP_NAME]
                   if os.path.lexists(p)]
        if present:
            return f"files of {name} are present without the package: {', '.join(present)}"
        return None

    def install(self):
        began = time.monotonic()
        status, output = run_program(["dpkg", "--install", str(self.deb)], DPKG_TIMEOUT)
        check(status == 0, f"dpkg --install {self.deb} exited with {status}:\n{output}")
        status, state = run_program(["dpkg-query", "--show", "--showformat=${Status}", self.name], 60)
        check(status == 0 and state == "install ok installed", f"after dpkg --install, {self.name} is {state!r}")
        return time.monotonic() - began

    def purge(self):
        """Purges the package and restores the folders; returns what is not as it was."""
        problems = []
        began = time.monotonic()
        while True:
            status, output = run_program(["dpkg", "--purge", self.name], DPKG_TIMEOUT)
            if status == 0 or time.monotonic() - began > PURGE_RETRY_FOR:
                break
            time.sleep(2)
        if status != 0:
            problems.append(f"dpkg --purge {self.name} exited with {status}: {output}")
        status, state = run_program(["dpkg-query", "--show", "--showformat=${Status}", self.name], 60)
        if status == 0 and not state.endswith("not-installed"):
            problems.append(f"after dpkg --purge, {self.name} is {state!r}")
        purged = time.monotonic() - began

        # Parents first, so that a removed /etc/opt is back before /etc/opt/x.
        recreated = []
        for folder, before in sorted(self.folders.items(), key=lambda item: len(item[0].parts)):
            if before is None or folder.is_dir():
                continue
            try:
                folder.mkdir()
                os.chown(folder, before.st_uid, before.st_gid)
                os.chmod(folder, before.st_mode & 0o7777)
                recreated.append(str(folder))
            except OSError as error:
                problems.append(f"cannot recreate {folder}, which the purge removed: {error}")

        left = [str(p) for p in self.files + [INSTALLED_HOST.parent / DESKTOP_APP_NAME] if os.path.lexists(p)]
        for folder, before in sorted(self.folders.items(), key=lambda item: -len(item[0].parts)):
            if before is None and os.path.lexists(folder):
                left.append(f"{folder}/")
                try:
                    folder.rmdir()  # only if empty: anything inside is reported, not deleted
                except OSError:
                    pass
        if left:
            problems.append(f"left behind after the purge: {', '.join(left)}")
        for folder, before in self.folders.items():
            if before is not None and folder.is_dir():
                now = os.stat(folder)
                if (now.st_mode, now.st_uid, now.st_gid) != (before.st_mode, before.st_uid, before.st_gid):
                    problems.append(f"{folder} changed mode or owner: {oct(before.st_mode)} "
                                    f"{before.st_uid}:{before.st_gid} -> {oct(now.st_mode)} {now.st_uid}:{now.st_gid}")
                # Adding and removing entries moved the time stamps; last,
                # as every removal above touches its parent again.
                try:
                    os.utime(folder, ns=(before.st_atime_ns, before.st_mtime_ns))
                except OSError as error:
                    problems.append(f"cannot put back the time stamps of {folder}: {error}")
        return purged, recreated, problems


# ---------------------------------------------------------------- running


class Suite:
    def __init__(self, args):
        self.installed = args.installed_deb is not None
        if self.installed:
            self.host = INSTALLED_HOST
            # No tools folder beside an installed host.
            tools = args.tools_dir
        else:
            self.host = Path(args.host).resolve()
            tools = args.tools_dir or (self.host.parent / "tools")
        self.tools_dir = Path(tools).resolve() if tools else None
        self.chromium = args.chromium
        self.keep = args.keep
        self.extension_key = None
        self.extension_id = None
        self.package = None
        self.cases = []


def run_case(suite, name, function):
    started = time.monotonic()
    case = None
    error = None
    try:
        case = Case(suite, name)
        function(case)
    except Failure as failure:
        error = str(failure)
    except Exception:  # a fault of the driver itself still fails only this case
        error = traceback.format_exc().rstrip()
    finally:
        tail = case.browser.log_tail() if (case and case.browser and error) else []
        if case is not None:
            case.cleanup()
    duration = time.monotonic() - started
    if error is None:
        print(f"PASS {name} ({duration:.2f} s)")
    else:
        print(f"FAIL {name} ({duration:.2f} s): {error}")
    for text in (case.notes if case else []):
        print(f"     {text}")
    if tail:
        print("     the browser's last output:")
        for line in tail:
            print(f"       | {line}")
    sys.stdout.flush()
    return error is None, duration


class OutOfTime(BaseException):
    """INSTALLED_RUN_LIMIT reached; a BaseException so that no case's handler takes it."""


def sweep(suite):
    """Ends what a run cut short left running: its cases' processes and the installed programs."""
    for _ in range(3):
        pids = [pid for case in suite.cases for pid in marked_pids(case.token)]
        pids += [pid for name in (INSTALLED_HOST.name, DESKTOP_APP_NAME)
                 for pid in pids_running(INSTALLED_HOST.parent / name)]
        if not pids:
            return []
        kill_pids(pids)
        time.sleep(0.2)
    return pids


def installed_steps(suite, steps, tally):
    """Install, then run the steps (packaged manifests, registration, cases); counts into tally."""
    package = suite.package
    try:
        print(f"installed {package.name} from {package.deb} in {package.install():.2f} s")
    except Failure as failure:
        print(f"FAIL install: {failure}")
        tally["failed"] += 1
        return
    sys.stdout.flush()
    for index, (name, function) in enumerate(steps):
        ok, _ = run_case(suite, name, function)
        tally["passed" if ok else "failed"] += 1
        if not ok and name == "register":
            rest = [name for name, _ in steps[index + 1:]]
            print(f"not run, as the test extension is not registered: {', '.join(rest)}")
            tally["failed"] += len(rest)
            return


def run_installed(suite, steps):
    """The installed-package run; the package is purged however it ends. Returns (passed, failed)."""
    tally = {"passed": 0, "failed": 0}

    def give_up(signum, frame):
        raise OutOfTime()

    signal.signal(signal.SIGALRM, give_up)
    signal.alarm(INSTALLED_RUN_LIMIT)
    try:
        installed_steps(suite, steps, tally)
    except OutOfTime:
        print(f"FAIL: stopped after {INSTALLED_RUN_LIMIT} s, the limit of an installed run")
        tally["failed"] += 1
    except SystemExit:
        print("FAIL: ended by SIGTERM; purging before exiting")
        raise
    finally:
        signal.alarm(0)
        # A second SIGTERM must not cut the purge short.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        stragglers = sweep(suite)
        if stragglers:
            print(f"FAIL: processes still ran after the cases and were killed: {stragglers}")
            tally["failed"] += 1
        if not suite.keep:
            for case in suite.cases:
                shutil.rmtree(case.root, ignore_errors=True)
        purged, recreated, problems = suite.package.purge()
        print(f"purged {suite.package.name} in {purged:.2f} s")
        if recreated:
            print(f"     recreated what the purge removed but was there before: {', '.join(recreated)}")
        for problem in problems:
            print(f"FAIL purge: {problem}")
        tally["failed"] += bool(problems)
        sys.stdout.flush()
    return tally["passed"], tally["failed"]


def installable_package(deb):
    """The Package of an installed run, or the exit status when the run cannot go ahead."""
    if os.geteuid() != 0:
        print("refusing --installed-deb: installing and purging a package needs root; "
              f"run as root (exit status {SKIP_EXIT}: skipped)")
        return SKIP_EXIT
    package = Package(deb)
    refusal = package.preflight()
    if refusal:
        print(f"refusing --installed-deb: {refusal}")
        return 1
    return package


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", help="the host executable to test")
    parser.add_argument("--installed-deb", metavar="DEB",
                        help="instead of --host: install this Debian package (as root), run the "
                             "suite against the installed host, then purge it")
    parser.add_argument("--tools-dir", help="where the test tools were built "
                        "(default: tools/ beside the host; none with --installed-deb)")
    parser.add_argument("--chromium", default=DEFAULT_CHROMIUM,
                        help=f"the Chromium binary (default {DEFAULT_CHROMIUM})")
    parser.add_argument("--case", action="append", choices=[name for name, _ in CASES],
                        help="run only this case (repeatable)")
    parser.add_argument("--keep", action="store_true", help="keep each case's temporary folder")
    args = parser.parse_args()
    if (args.host is None) == (args.installed_deb is None):
        parser.error("give either --host or --installed-deb")

    if args.installed_deb is not None:
        package = installable_package(args.installed_deb)
        if not isinstance(package, Package):
            return package

    # A test runner's SIGTERM still runs every case's cleanup on the way out.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    suite = Suite(args)
    key_folder = Path(tempfile.mkdtemp(prefix="nimbra-e2e-key-"))
    try:
        suite.extension_key, suite.extension_id = make_extension_key(key_folder)
    except (Failure, OSError, subprocess.SubprocessError) as error:
        print(f"cannot make the test extension's key: {error}")
    finally:
        shutil.rmtree(key_folder, ignore_errors=True)

    if suite.installed:
        if suite.extension_key is None:
            return 1
        suite.package = package
        total_started = time.monotonic()
        names = args.case or INSTALLED_CASES
        steps = [("packaged_manifest", case_packaged_manifest), ("register", case_register)]
        passed, failed = run_installed(suite, steps + [(n, f) for n, f in CASES if n in names])
        print(f"total {time.monotonic() - total_started:.2f} s")
        print(f"{passed} passed, {failed} failed")
        return 0 if failed == 0 and passed > 0 else 1

    selected = [(n, f) for n, f in CASES if not args.case or n in args.case]
    passed = failed = 0
    total_started = time.monotonic()
    for name, function in selected:
        ok, _ = run_case(suite, name, function)
        passed += ok
        failed += not ok
    print(f"total {time.monotonic() - total_started:.2f} s")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
