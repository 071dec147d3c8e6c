#!/usr/bin/env python3
"""nimbra-register doctor against the real judge: headless Chromium.

Each variant registers the host in a slightly wrong (or right) way; the test
extension then sends {"type":"ping"} through Chromium, the doctor judges the
same registration, and the two must say the same thing, word for word.

    python3 tests/e2e/doctor_e2e.py --host build/native/nimbra-native-host \
        --tool build/native/tools/nimbra-register [--chromium /usr/lib/chromium/chromium]

Chromium reads /etc/chromium/native-messaging-hosts and
/etc/chromium/policies/managed, so some variants write there (as root, under
the machine lock); both are put back as they were. Standard library only.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

import chromium_e2e as e2e

NAME = e2e.HOST_NAME
SYSTEM_DIR = Path("/etc/chromium/native-messaging-hosts")
POLICY_DIR = Path("/etc/chromium/policies/managed")
NOT_FOUND = "Specified native messaging host not found."
IO_ERROR = "Error when communicating with the native messaging host."

# Hosts that answer wrongly, as python scripts: what each writes to stdout.
REPLY = "import struct, sys\nsys.stdout.buffer.write({}); sys.stdout.flush(); sys.stdin.read()\n"
SCRIPTS = {
    "text": REPLY.format("b'data: hello\\n'"),
    "not_json": REPLY.format("struct.pack('<I', 8) + b'not json'"),
    "too_long": REPLY.format("struct.pack('<I', 1048577) + b'\"' + b'x' * 1048575 + b'\"'"),
}


def manifest(lab, **changes):
    value = {"name": NAME, "description": "doctor variant", "path": str(lab.host), "type": "stdio",
             "allowed_origins": [f"chrome-extension://{lab.extension_id}/"]}
    value.update(changes)
    return json.dumps(value, indent=2)


def origins(*entries):
    return lambda lab: manifest(lab, allowed_origins=[e.format(id=lab.extension_id) for e in entries])


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
        self.made = [p for p in (POLICY_DIR, POLICY_DIR.parent, SYSTEM_DIR) if not p.exists()]
        self.etc_times = os.stat(SYSTEM_DIR.parent)

    def script(self, name, body=None, mode=0o755):
        path = self.bin / name
        path.write_text("#!/usr/bin/python3\n" + (SCRIPTS[name] if body is None else body))
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

    def doctor_says(self):
        result = subprocess.run([self.args.tool, "doctor", "--json", "--extension-id", self.extension_id],
                                capture_output=True, text=True, env=self.env, timeout=60)
        report = json.loads(result.stdout)
        found = [b for b in report["browsers"] if b["browser"] == "chromium"]
        e2e.check(len(found) == 1, f"the doctor reports no chromium: {result.stdout[:300]}")
        expected_status = 0 if all(b["verdict"] == "ok" for b in report["browsers"]
                                   if b["installed"] or b["registered"]) else 1
        e2e.check(result.returncode == expected_status, f"doctor exited {result.returncode}: {result.stderr}")
        return found[0]

    def close(self):
        if self.browser:
            self.browser.stop()
        e2e.kill_pids(e2e.marked_pids(self.token))
        self.place(SYSTEM_DIR, None)
        self.set_policy(None)
        for folder in self.made:
            if folder.exists():
                folder.rmdir()
        os.utime(SYSTEM_DIR.parent, ns=(self.etc_times.st_atime_ns, self.etc_times.st_mtime_ns))
        shutil.rmtree(self.root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--chromium", default=e2e.DEFAULT_CHROMIUM)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("refusing: Chromium's system-wide folders need root (exit status 77: skipped)")
        return 77
    if (SYSTEM_DIR / f"{NAME}.json").exists() or (POLICY_DIR.exists() and any(POLICY_DIR.iterdir())):
        print(f"refusing: {SYSTEM_DIR} or {POLICY_DIR} holds files this run would change or that would change it")
        return 1
    lab = Lab(args)
    failures, verdicts = [], set()
    try:
        for name, user, system, policy in VARIANTS:
            lab.place(lab.user_dir, user(lab) if user else None)
            lab.place(SYSTEM_DIR, system(lab) if system else None)
            chromium = lab.chromium_says(policy)
            doctor = lab.doctor_says()
            verdicts.add(chromium)
            # A host that ends before it takes the ping races Chromium's
            # write of it; the doctor names both answers the race allows.
            agree = chromium in (doctor["verdict"], doctor.get("also_possible"))
            print(f"{'PASS' if agree else 'FAIL'} {name}: Chromium: {chromium!r}, doctor: {doctor['verdict']!r}")
            if not agree:
                print(f"     doctor's reason: {doctor.get('reason')}")
                failures.append(name)
    except e2e.Failure as failure:
        failures.append(str(failure))
        print(f"FAIL: {failure}")
    finally:
        lab.close()
    # Variants that all came out alike would prove little.
    if len(verdicts) < 5:
        failures.append(f"only {len(verdicts)} different answers from Chromium: {sorted(verdicts)}")
    print(f"{len(VARIANTS) - len(failures)} agreed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
