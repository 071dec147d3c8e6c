#!/usr/bin/env python3
"""nimbra-register doctor against the real judges: headless Chromium and Firefox ESR.

Each variant registers the host in a slightly wrong (or right) way; the test
extension then sends {"type":"ping"} through the browser, the doctor judges
the same registration, and the two must say the same thing, word for word.

    python3 tests/e2e/doctor_e2e.py --host build/native/nimbra-native-host \
        --tool build/native/tools/nimbra-register [--chromium /usr/lib/chromium/chromium] \
        [--firefox /usr/lib/firefox-esr/firefox-esr]

Chromium reads /etc/chromium/native-messaging-hosts and
/etc/chromium/policies/managed, Firefox /usr/lib/mozilla/native-messaging-hosts
(and, some say, /usr/lib64/mozilla), so some variants write there (as root,
under the machine lock); all are put back as they were. Standard library only.
"""

import argparse
import http.server
import json
import queue
import threading
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

import chromium_e2e as e2e
import firefox_e2e

NAME = e2e.HOST_NAME
SYSTEM_DIR = Path("/etc/chromium/native-messaging-hosts")
POLICY_DIR = Path("/etc/chromium/policies/managed")
MOZILLA_DIR = Path("/usr/lib/mozilla/native-messaging-hosts")
MOZILLA_LIB64_DIR = Path("/usr/lib64/mozilla/native-messaging-hosts")
ADDON_ID = firefox_e2e.TEST_ADDON_ID
NOT_FOUND = "Specified native messaging host not found."
IO_ERROR = "Error when communicating with the native messaging host."

# Hosts that answer wrongly, as python scripts: what each writes to stdout.
REPLY = "import struct, sys\nsys.stdout.buffer.write({}); sys.stdout.flush(); sys.stdin.read()\n"
SCRIPTS = {
    "text": REPLY.format("b'data: hello\\n'"),
    "not_json": REPLY.format("struct.pack('<I', 8) + b'not json'"),
    "too_long": REPLY.format("struct.pack('<I', 1048577) + b'\"' + b'x' * 1048575 + b'\"'"),
    "not_utf8": REPLY.format("struct.pack('<I', 8) + b'{\"a\":\"\\xff\"}'"),
    "ends": "import sys\nsys.stderr.write('boom')\n",
}


def manifest(lab, **changes):
    value = {"name": NAME, "description": "doctor variant", "path": str(lab.host), "type": "stdio",
             "allowed_origins": [f"chrome-extension://{lab.extension_id}/"]}
    value.update(changes)
    return json.dumps(value, indent=2)


def origins(*entries):
    return lambda lab: manifest(lab, allowed_origins=[e.format(id=lab.extension_id) for e in entries])


def firefox_manifest(lab, **changes):
    value = {"name": NAME, "description": "doctor variant", "path": str(lab.host), "type": "stdio",
             "allowed_extensions": [ADDON_ID]}
    value.update(changes)
    return json.dumps({k: v for k, v in value.items() if v is not None}, indent=2)


def firefox_host(name, **changes):
    return lambda lab: firefox_manifest(lab, path=str(lab.script(name)), **changes)


# (name, manifest in ~/.mozilla, in /usr/lib/mozilla, in /usr/lib64/mozilla),
# each a function of the lab or None; Firefox's answer is not written here.
FIREFOX_VARIANTS = [
    ("registered per user, byte-order mark, empty description",
     lambda lab: "\ufeff" + firefox_manifest(lab, description=""), None, None),
    ("nothing registered", None, None, None),
    ("broken user manifest before a good system one", lambda lab: "{", firefox_manifest, None),
    ("user manifest for another add-on before a good system one",
     lambda lab: firefox_manifest(lab, allowed_extensions=["other@velisto.example"]), firefox_manifest, None),
    ("relative path before a system one naming a host that writes text",
     lambda lab: firefox_manifest(lab, path="nimbra-native-host"), firefox_host("text"), None),
    ("allowed_origins beside allowed_extensions",
     lambda lab: firefox_manifest(lab, allowed_origins=[f"chrome-extension://{'a' * 32}/"]), None, None),
    ("only in /usr/lib64/mozilla", None, None, firefox_manifest),
    ("no host where the user manifest points, a good system one",
     lambda lab: firefox_manifest(lab, path=str(lab.bin / "gone")), firefox_manifest, None),
    ("a script without #!", lambda lab: firefox_manifest(lab, path=str(lab.script("bare", "", raw="echo hi\n"))),
     None, None),
    ("host replies with more than 1 MiB", firefox_host("too_long"), None, None),
    ("host replies with bytes that are not UTF-8", firefox_host("not_utf8"), None, None),
    ("host ends at once", firefox_host("ends"), None, None),
]

# (name, user-level manifest, system-wide manifest, policy): the manifests are
# functions of the lab giving the text (or a Path to link to), None for
# nothing there; the policy is a file's value or text. Chromium's own answer
# is not written here: the doctor must match whatever Chromium says.
VARIANTS = [
    ("registered per user", manifest, None, None),
    ("nothing registered", None, None, None),
    ("type pipe, origin without its slash",
     lambda lab: manifest(lab, type="pipe", allowed_origins=[f"chrome-extension://{lab.extension_id}"]), None, None),
    ("byte-order mark, comments, extra members",
     lambda lab: "\ufeff// written by hand\n" + manifest(lab, extra={"a": [1]}), None, None),
    ("a trailing comma", lambda lab: manifest(lab)[:-2] + ",\n}", None, None),
    ("the later of two paths, which is wrong", lambda lab: manifest(lab)[:-2] + ',\n "path": "/nowhere"\n}', None, None),
    ("name of another host", lambda lab: manifest(lab, name="com.velisto.other"), None, None),
    ("origin of another extension", origins("chrome-extension://" + "a" * 32 + "/"), None, None),
    ("no origins", origins(), None, None),
    ("a wildcard origin beside the right one", origins("chrome-extension://*/", "chrome-extension://{id}/"), None, None),
    ("origin with a path, id in capitals", lambda lab: manifest(
        lab, allowed_origins=[f"chrome-extension://{lab.extension_id.upper()}/*"]), None, None),
    ("a relative path", lambda lab: manifest(lab, path="nimbra-native-host"), None, None),
    ("a folder for the host", lambda lab: manifest(lab, path=str(lab.bin)), None, None),
    ("broken user manifest before a good system one", lambda lab: "{", manifest, None),
    ("dangling user link before a good system one", lambda lab: lab.root / "gone.json", manifest, None),
    ("user-level hosts off, user manifest only", manifest, None, {"NativeMessagingUserLevelHosts": False}),
    ("user-level hosts off, both levels", lambda lab: "{", manifest, {"NativeMessagingUserLevelHosts": False}),
    ("user-level hosts off as 0, not false", manifest, None, {"NativeMessagingUserLevelHosts": 0}),
    ("blocklist * with another host allowed", manifest, None,
     {"NativeMessagingBlocklist": ["*"], "NativeMessagingAllowlist": ["other.host"]}),
    ("blocklist naming the host, a comma and a comment after", manifest, None,
     '{"NativeMessagingBlocklist": ["com.velisto.nimbra"],} // managed'),
    ("host not executable", lambda lab: manifest(lab, path=str(lab.script("not_executable", "", mode=0o644))),
     None, None),
    ("host writes text", lambda lab: manifest(lab, path=str(lab.script("text"))), None, None),
    ("host replies with no JSON", lambda lab: manifest(lab, path=str(lab.script("not_json"))), None, None),
    ("host replies with more than 1 MiB", lambda lab: manifest(lab, path=str(lab.script("too_long"))), None, None),
]


class Lab:
    def __init__(self, args):
        self.args = args
        self.root = Path(tempfile.mkdtemp(prefix="nimbra-doctor-e2e-")).resolve()
        self.home, self.data, self.bin = self.root / "home", self.root / "data", self.root / "bin"
        for folder in (self.home, self.data, self.bin):
            folder.mkdir()
        self.config = self.home / ".config"
        self.user_dir = self.config / "chromium" / "NativeMessagingHosts"
        self.mozilla_dir = self.home / ".mozilla" / "native-messaging-hosts"
        self.host = self.bin / "nimbra-native-host"
        shutil.copy2(args.host, self.host)
        key_dir = self.root / "key"
        key_dir.mkdir()
        self.key, self.extension_id = e2e.make_extension_key(key_dir)
        self.token = uuid.uuid4().hex
        self.env = dict(os.environ, HOME=str(self.home), XDG_CONFIG_HOME=str(self.config),
                        XDG_CACHE_HOME=str(self.home / ".cache"), XDG_DATA_HOME=str(self.data),
                        **{e2e.MARKER: self.token})
        self.browser = self.worker = None
        self.policy = None
        # Deepest first, so that only folders made here are removed again.
        self.made = [p for p in (POLICY_DIR, POLICY_DIR.parent, SYSTEM_DIR, MOZILLA_DIR, MOZILLA_LIB64_DIR,
                                 MOZILLA_LIB64_DIR.parent) if not p.exists()]
        self.times = {p: os.stat(p) for p in (SYSTEM_DIR.parent, MOZILLA_DIR.parent, MOZILLA_LIB64_DIR.parent.parent)
                      if p.exists()}

    def script(self, name, body=None, mode=0o755, raw=None):
        path = self.bin / name
        path.write_text(raw if raw is not None else "#!/usr/bin/python3\n" + (SCRIPTS[name] if body is None else body))
        path.chmod(mode)
        return path

    def place(self, folder, text):
        target = folder / f"{NAME}.json"
        target.unlink(missing_ok=True)
        if text is not None:
            folder.mkdir(parents=True, exist_ok=True)
            target.symlink_to(text) if isinstance(text, Path) else target.write_text(text)

    def set_policy(self, policy):
        self.place(POLICY_DIR, None if policy is None else policy if isinstance(policy, str) else json.dumps(policy))

    def chromium_says(self, variant_policy):
        # Chromium reads its policies when it starts. (Compared as text: to
        # Python, 0 equals False.)
        if self.browser is None or json.dumps(variant_policy) != json.dumps(self.policy):
            if self.browser:
                self.browser.stop()
            self.set_policy(variant_policy)
            self.policy = variant_policy
            extension = self.root / f"extension-{uuid.uuid4().hex[:8]}"
            e2e.write_extension(extension, self.key)
            self.browser = e2e.Browser(self.args.chromium, self.config / "chromium", extension, self.env,
                                       self.root / "chromium.log")
            self.worker = self.browser.extension_worker(self.extension_id)
        event = self.worker.call("sendNative", {"type": "ping"}, 8000, timeout=15)
        return "ok" if event.get("kind") == "message" else event.get("error", json.dumps(event))

    def doctor_says(self, browser="chromium"):
        result = subprocess.run([self.args.tool, "doctor", "--json", "--extension-id", self.extension_id,
                                 "--firefox-extension-id", ADDON_ID],
                                capture_output=True, text=True, env=self.env, timeout=60)
        report = json.loads(result.stdout)
        found = [b for b in report["browsers"] if b["browser"] == browser]
        e2e.check(len(found) == 1, f"the doctor reports no {browser}: {result.stdout[:300]}")
        expected_status = 0 if all(b["verdict"] == "ok" for b in report["browsers"]
                                   if b["installed"] or b["registered"]) else 1
        e2e.check(result.returncode == expected_status, f"doctor exited {result.returncode}: {result.stderr}")
        return found[0]

    def close(self):
        if self.browser:
            self.browser.stop()
        e2e.kill_pids(e2e.marked_pids(self.token))
        for folder in (SYSTEM_DIR, MOZILLA_DIR, MOZILLA_LIB64_DIR):
            self.place(folder, None)
        self.set_policy(None)
        for folder in self.made:
            if folder.exists():
                folder.rmdir()
        for folder, times in self.times.items():
            os.utime(folder, ns=(times.st_atime_ns, times.st_mtime_ns))
        shutil.rmtree(self.root, ignore_errors=True)


class Driver(firefox_e2e.ReportHandler):
    """Hands the extension its next message (or nothing, after a while) and takes what it heard."""

    def do_GET(self):
        try:
            body = json.dumps(self.server.commands.get(timeout=20)).encode()
        except queue.Empty:
            body = b"{}"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class FirefoxJudge:
    """One headless Firefox with the test extension as ADDON_ID, asked once per variant: it reads the
    manifests afresh for each message."""

    def __init__(self, lab):
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Driver)
        self.server.commands, self.server.reports = queue.Queue(), queue.Queue()
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        profile = lab.root / "firefox-profile"
        firefox_e2e.write_extension(profile, ADDON_ID, {"driver": f"http://127.0.0.1:{self.server.server_port}/"},
                                    "firefox_doctor.js")
        self.browser = firefox_e2e.Firefox(lab.args.firefox, profile, lab.env, lab.root / "firefox.log")

    def says(self, first=False):
        self.server.commands.put({"message": {"type": "ping"}, "timeoutMs": 8000})
        try:
            heard = json.loads(self.server.reports.get(timeout=firefox_e2e.SESSION_TIMEOUT if first else 30))
        except queue.Empty:
            raise e2e.Failure("the Firefox extension reported nothing")
        return "ok" if heard.get("kind") == "message" else heard.get("error", json.dumps(heard))

    def stop(self):
        self.server.commands.put({"stop": True})
        self.browser.stop()
        self.server.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--chromium", default=e2e.DEFAULT_CHROMIUM)
    parser.add_argument("--firefox", default=firefox_e2e.DEFAULT_FIREFOX)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("refusing: Chromium's system-wide folders need root (exit status 77: skipped)")
        return 77
    taken = [d / f"{NAME}.json" for d in (SYSTEM_DIR, MOZILLA_DIR, MOZILLA_LIB64_DIR) if (d / f"{NAME}.json").exists()]
    if taken or (POLICY_DIR.exists() and any(POLICY_DIR.iterdir())):
        print(f"refusing: {taken or POLICY_DIR} holds files this run would change or that would change it")
        return 1
    lab = Lab(args)
    failures, verdicts = [], set()
    try:
        for name, user, system, policy in VARIANTS:
            lab.place(lab.user_dir, user(lab) if user else None)
            lab.place(SYSTEM_DIR, system(lab) if system else None)
            verdicts.add(compare("Chromium", name, lab.chromium_says(policy), lab.doctor_says(), failures))
        lab.browser.stop()
        lab.browser = None
        compare_firefox(lab, failures)
    except e2e.Failure as failure:
        failures.append(str(failure))
        print(f"FAIL: {failure}")
    finally:
        lab.close()
    # Variants that all came out alike would prove little.
    if len(verdicts) < 5:
        failures.append(f"only {len(verdicts)} different answers from Chromium: {sorted(verdicts)}")
    print(f"{len(VARIANTS) + len(FIREFOX_VARIANTS) - len(failures)} agreed, {len(failures)} failed")
    return 1 if failures else 0


def compare(browser, name, says, doctor, failures):
    """The browser's answer beside the doctor's verdict; the answer."""
    # A host that ends before it takes the ping races Chromium's write of
    # it; the doctor names both answers the race allows.
    agree = says in (doctor["verdict"], doctor.get("also_possible"))
    print(f"{'PASS' if agree else 'FAIL'} {browser}, {name}: {browser}: {says!r}, doctor: {doctor['verdict']!r}")
    if not agree:
        print(f"     doctor's reason: {doctor.get('reason')}")
        failures.append(f"{browser}, {name}")
    return says


def compare_firefox(lab, failures):
    """The Firefox variants against one Firefox."""
    for folder in (SYSTEM_DIR, POLICY_DIR):
        lab.place(folder, None)
    judge = FirefoxJudge(lab)
    verdicts = set()
    try:
        for i, (name, user, system, lib64) in enumerate(FIREFOX_VARIANTS):
            for folder, text in ((lab.mozilla_dir, user), (MOZILLA_DIR, system), (MOZILLA_LIB64_DIR, lib64)):
                lab.place(folder, text(lab) if text else None)
            verdicts.add(compare("Firefox", name, judge.says(first=i == 0), lab.doctor_says("firefox"), failures))
    finally:
        judge.stop()
    if len(verdicts) < 4:
        failures.append(f"only {len(verdicts)} different answers from Firefox: {sorted(verdicts)}")


if __name__ == "__main__":
    sys.exit(main())
