#!/usr/bin/env python3
"""Tests of nimbra-register, the tool that registers the host with browsers.

    python3 register_test.py linux --tool build/native/tools/nimbra-register \
        --host build/native/nimbra-native-host
    python3 register_test.py wine --tool build/windows/tools/nimbra-register.exe \
        --host build/windows/nimbra-native-host.exe

linux: every per-user case runs with HOME (and XDG_CONFIG_HOME) pointed at a
temporary folder, and every --system case with --root, so nothing is written
into the real home folder or /etc.

wine: runs the Windows build in the prefix named by WINEPREFIX (the caller
keeps its wineserver running) and checks the registry with wine's own reg.exe.
Each case removes its keys again, so the prefix is left as it was.

Standard library only; unittest prints each case and a summary.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HOST_NAME = "com.velisto.nimbra"
MANIFEST = HOST_NAME + ".json"
FIREFOX_MANIFEST_ON_WINDOWS = HOST_NAME + ".firefox.json"
COMPANION = "kembcdlbgbcnnchcnbdhbmbhbejnedjf"
OTHER_IDS = ["abcdefghijklmnopabcdefghijklmnop", "ppppppppppppppppaaaaaaaaaaaaaaaa"]
# The build's default (CMakeLists.txt), and add-on ids in both of Firefox's forms.
FIREFOX_COMPANION = "nimbra-extension@velisto.example"
FIREFOX_IDS = ["{0b4a2f30-1c5e-4d6f-8a9b-0c1d2e3f4a5b}", "e2e_test.add-on@Example-1.org"]

USER_FOLDERS = ["google-chrome", "chromium", "microsoft-edge", "BraveSoftware/Brave-Browser", "vivaldi"]
# Firefox's, under HOME whatever XDG_CONFIG_HOME says.
FIREFOX_USER_FOLDER = ".mozilla/native-messaging-hosts"
SYSTEM_FOLDERS = ["etc/opt/chrome", "etc/chromium", "etc/opt/edge", "etc/opt/brave", "etc/opt/vivaldi",
                  "usr/lib/mozilla"]

WINDOWS_KEYS = [
    r"Software\Google\Chrome\NativeMessagingHosts\com.velisto.nimbra",
    r"Software\Microsoft\Edge\NativeMessagingHosts\com.velisto.nimbra",
    r"Software\Chromium\NativeMessagingHosts\com.velisto.nimbra",
    r"Software\Mozilla\NativeMessagingHosts\com.velisto.nimbra",
]
# The manifest each key names, beside the host.
WINDOWS_MANIFESTS = [MANIFEST, MANIFEST, MANIFEST, FIREFOX_MANIFEST_ON_WINDOWS]

OTHER_HOST_KEY = r"HKCU\Software\Google\Chrome\NativeMessagingHosts\other.host"

ARGS = None  # set in main()


def expected_manifest(host_path, ids=(COMPANION,)):
    return {
        "name": HOST_NAME,
        "description": "Velisto Download Manager browser connector",
        "path": host_path,
        "type": "stdio",
        "allowed_origins": [f"chrome-extension://{i}/" for i in ids],
    }


def expected_firefox_manifest(host_path, ids=(FIREFOX_COMPANION,)):
    manifest = expected_manifest(host_path)
    del manifest["allowed_origins"]
    manifest["allowed_extensions"] = list(ids)
    return manifest


def files_under(folder):
    return sorted(str(p.relative_to(folder)) for p in Path(folder).rglob("*") if not p.is_dir())


class LinuxRegistration(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="nimbra-register-"))
        self.home = self.tmp / "home"
        self.home.mkdir()
        self.host = str(Path(ARGS.host).resolve())

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_tool(self, *args, tool=None, cwd=None, env=None):
        environment = {k: v for k, v in os.environ.items() if k != "XDG_CONFIG_HOME"}
        environment["HOME"] = str(self.home)
        environment.update(env or {})
        return subprocess.run([tool or ARGS.tool, *args], capture_output=True, text=True, cwd=cwd,
                              env=environment, timeout=60)

    def assert_status(self, result, code):
        self.assertEqual(result.returncode, code, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")

    def user_manifests(self, config):
        return [Path(config) / folder / "NativeMessagingHosts" / MANIFEST for folder in USER_FOLDERS]

    def firefox_manifest(self):
        return self.home / FIREFOX_USER_FOLDER / MANIFEST

    def test_per_user_install_status_and_uninstall(self):
        self.assert_status(self.run_tool("install", "--host", self.host), 0)
        manifests = self.user_manifests(self.home / ".config") + [self.firefox_manifest()]
        # The six manifests and nothing else: no temporary files left behind.
        self.assertEqual(files_under(self.home), sorted(str(m.relative_to(self.home)) for m in manifests))
        for manifest in manifests[:-1]:
            self.assertEqual(json.loads(manifest.read_text()), expected_manifest(self.host), manifest)
        self.assertEqual(json.loads(manifests[-1].read_text()), expected_firefox_manifest(self.host))

        status = self.run_tool("status")
        self.assert_status(status, 0)
        for manifest in manifests:
            self.assertIn(str(manifest), status.stdout)

        self.assert_status(self.run_tool("uninstall"), 0)
        self.assertEqual(files_under(self.home), [])
        self.assert_status(self.run_tool("status"), 1)
        # Uninstalling what is not there is not an error.
        self.assert_status(self.run_tool("uninstall"), 0)

    def test_config_folder_follows_xdg_config_home(self):
        xdg = self.tmp / "xdg"
        env = {"XDG_CONFIG_HOME": str(xdg)}
        self.assert_status(self.run_tool("install", "--host", self.host, env=env), 0)
        self.assertEqual(files_under(self.home), [str(self.firefox_manifest().relative_to(self.home))])
        for manifest in self.user_manifests(xdg):
            self.assertTrue(manifest.is_file(), manifest)
        self.assert_status(self.run_tool("status", env=env), 0)
        self.assert_status(self.run_tool("uninstall", env=env), 0)
        self.assertEqual(files_under(xdg) + files_under(self.home), [])

    def test_extension_ids_and_relative_host_path(self):
        (self.tmp / "bin").mkdir()
        shutil.copy(self.host, self.tmp / "bin" / "host-copy")
        result = self.run_tool("install", "--host", "bin/../bin/host-copy", "--extension-id", OTHER_IDS[0],
                               f"--extension-id={OTHER_IDS[1]}", "--extension-id", OTHER_IDS[0],
                               "--firefox-extension-id", FIREFOX_IDS[0], f"--firefox-extension-id={FIREFOX_IDS[1]}",
                               "--firefox-extension-id", FIREFOX_IDS[0], cwd=self.tmp)
        self.assert_status(result, 0)
        host_copy = str(self.tmp / "bin" / "host-copy")
        for manifest in self.user_manifests(self.home / ".config"):
            self.assertEqual(json.loads(manifest.read_text()), expected_manifest(host_copy, OTHER_IDS))
        self.assertEqual(json.loads(self.firefox_manifest().read_text()),
                         expected_firefox_manifest(host_copy, FIREFOX_IDS))

        # A second install replaces the manifests in place.
        self.assert_status(self.run_tool("install", "--host", self.host), 0)
        for manifest in self.user_manifests(self.home / ".config"):
            self.assertEqual(json.loads(manifest.read_text()), expected_manifest(self.host))
        self.assertEqual(json.loads(self.firefox_manifest().read_text()), expected_firefox_manifest(self.host))
        self.assertEqual(len(files_under(self.home)), 6)

    def test_bad_arguments_write_nothing(self):
        usage_errors = [
            [],
            ["frobnicate"],
            ["install", "--bogus"],
            ["install", "status"],
            ["install", "--host"],
            ["install", "--host", self.host, "--host", self.host],
            ["install", "--extension-id", COMPANION.upper()],
            ["install", "--extension-id", COMPANION[:-1]],
            ["install", "--extension-id", "q" * 32],
            ["install", "--extension-id", f"chrome-extension://{COMPANION}/"],
            ["install", "--extension-id", "é" * 32],
            *[["install", "--firefox-extension-id", bad] for bad in
              (COMPANION, "a@", "a@b@c", "a b@c", "é@c", FIREFOX_IDS[0][:-1], FIREFOX_IDS[0].replace("-", "_"))],
            ["install", "--firefox"],
            ["uninstall", "--firefox-extension-id", FIREFOX_IDS[1]],
            ["manifest", "--host", self.host, "--firefox-extension-id", FIREFOX_IDS[1]],
            ["manifest", "--host", self.host, "--firefox", "--extension-id", COMPANION],
            ["install", "--root", str(self.tmp)],
            ["uninstall", "--host", self.host],
            ["status", "--extension-id", COMPANION],
            ["manifest"],
            ["manifest", "--host", self.host, "--system"],
            ["doctor", "--system"],
            ["doctor", "--host", self.host],
            ["doctor", "--wait", "0"],
            ["doctor", "--wait", "1s"],
            ["status", "--json"],
        ]
        for args in usage_errors:
            with self.subTest(args=args):
                result = self.run_tool(*args)
                self.assert_status(result, 2)
                self.assertIn("nimbra-register:", result.stderr)
        for args in [["install", "--host", str(self.tmp / "no-such-host")], ["install", "--host", str(self.tmp)]]:
            with self.subTest(args=args):
                result = self.run_tool(*args)
                self.assert_status(result, 1)
                self.assertIn("no host executable", result.stderr)
        # A JSON file cannot name a host whose path is not UTF-8.
        odd_host = os.path.join(os.fsencode(self.tmp), b"host-\xff")
        Path(os.fsdecode(odd_host)).write_bytes(b"")
        result = subprocess.run([ARGS.tool, b"install", b"--host", odd_host], capture_output=True, timeout=60,
                                env=dict(os.environ, HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / ".config")))
        self.assert_status(result, 1)
        self.assertIn(b"not valid UTF-8", result.stderr)
        self.assertEqual(files_under(self.home), [])
        self.assertEqual(list(self.home.iterdir()), [])

        help_text = self.run_tool("--help")
        self.assert_status(help_text, 0)
        self.assertIn("install [--system]", help_text.stdout)

    def test_manifest_names_the_host_exactly_and_registers_nothing(self):
        # What an installer ships: install's manifest with a path left as given.
        result = self.run_tool("manifest", "--host", "nimbra-native-host.exe", "--extension-id", OTHER_IDS[0])
        self.assert_status(result, 0)
        self.assertEqual(json.loads(result.stdout), expected_manifest("nimbra-native-host.exe", OTHER_IDS[:1]))
        for ids in ([], FIREFOX_IDS[1:]):
            result = self.run_tool("manifest", "--firefox", "--host", "nimbra-native-host.exe",
                                   *[f"--firefox-extension-id={i}" for i in ids])
            self.assert_status(result, 0)
            self.assertEqual(json.loads(result.stdout),
                             expected_firefox_manifest("nimbra-native-host.exe", ids or [FIREFOX_COMPANION]))
        self.assertEqual(list(self.home.iterdir()), [])

    def test_default_host_is_beside_the_tool_through_a_link(self):
        # The packaged layout: tool and host in one folder, a link elsewhere.
        folder = self.tmp / "lib" / "nimbra"
        folder.mkdir(parents=True)
        shutil.copy(ARGS.tool, folder / "nimbra-register")
        (self.tmp / "bin").mkdir()
        link = self.tmp / "bin" / "nimbra-register"
        link.symlink_to("../lib/nimbra/nimbra-register")

        missing = self.run_tool("install", tool=str(link))
        self.assert_status(missing, 1)
        self.assertIn(str(folder / "nimbra-native-host"), missing.stderr)
        self.assertEqual(files_under(self.home), [])

        shutil.copy(self.host, folder / "nimbra-native-host")
        self.assert_status(self.run_tool("install", tool=str(link)), 0)
        for manifest in self.user_manifests(self.home / ".config"):
            self.assertEqual(json.loads(manifest.read_text())["path"], str(folder / "nimbra-native-host"))

    def test_system_install_under_a_root(self):
        root = self.tmp / "root"
        real = [Path("/") / folder / "native-messaging-hosts" / MANIFEST for folder in SYSTEM_FOLDERS]
        real_before = [(p.exists() and p.stat().st_mtime_ns) for p in real]

        # The host is looked for under the root: /bin/sh exists on this machine
        # but not there.
        absent = self.run_tool("install", "--system", "--root", str(root), "--host", "/bin/sh")
        self.assert_status(absent, 1)
        self.assertIn(str(root / "bin" / "sh"), absent.stderr)
        self.assertFalse(root.exists())

        installed_host = "/usr/lib/nimbra/nimbra-native-host"
        (root / "usr/lib/nimbra").mkdir(parents=True)
        shutil.copy(self.host, root / "usr/lib/nimbra/nimbra-native-host")
        old_umask = os.umask(0o077)  # a system manifest is readable by every user anyway
        try:
            result = self.run_tool("install", "--system", "--root", str(root), "--host", installed_host)
        finally:
            os.umask(old_umask)
        self.assert_status(result, 0)
        manifests = [root / folder / "native-messaging-hosts" / MANIFEST for folder in SYSTEM_FOLDERS]
        self.assertEqual(files_under(root), sorted([str(m.relative_to(root)) for m in manifests] +
                                                   ["usr/lib/nimbra/nimbra-native-host"]))
        for manifest in manifests:
            expected = (expected_firefox_manifest if "mozilla" in manifest.parts else expected_manifest)
            self.assertEqual(json.loads(manifest.read_text()), expected(installed_host))
            self.assertEqual(manifest.stat().st_mode & 0o777, 0o644, manifest)
            self.assertEqual(manifest.parent.stat().st_mode & 0o777, 0o755, manifest.parent)
        self.assertEqual(files_under(self.home), [])
        self.assert_status(self.run_tool("status", "--system", "--root", str(root)), 0)
        # Per-user status does not see system-wide manifests.
        self.assert_status(self.run_tool("status"), 1)

        self.assert_status(self.run_tool("uninstall", "--system", "--root", str(root)), 0)
        self.assertEqual(files_under(root), ["usr/lib/nimbra/nimbra-native-host"])
        self.assert_status(self.run_tool("status", "--system", "--root", str(root)), 1)
        self.assertEqual([(p.exists() and p.stat().st_mtime_ns) for p in real], real_before)

    def test_each_location_fails_on_its_own(self):
        config = self.home / ".config"
        config.mkdir()
        (config / "vivaldi").write_text("a file where a folder belongs")
        result = self.run_tool("install", "--host", self.host)
        self.assert_status(result, 1)
        self.assertIn("Vivaldi", result.stderr)
        manifests = self.user_manifests(config)
        self.assertEqual([m.is_file() for m in manifests], [True, True, True, True, False])
        self.assertIn("missing", [line.split()[0] for line in self.run_tool("status").stdout.splitlines()])

        # A folder in a manifest's place cannot be removed; the others still go.
        manifests[1].unlink()
        manifests[1].mkdir()
        result = self.run_tool("uninstall")
        self.assert_status(result, 1)
        self.assertIn("Chromium", result.stderr)
        self.assertEqual([m.is_file() for m in manifests], [False] * 5)
        self.assertTrue(manifests[1].is_dir())

    def test_status_tells_broken_from_invalid(self):
        host_copy = self.tmp / "host-copy"
        shutil.copy(self.host, host_copy)
        self.assert_status(self.run_tool("install", "--host", str(host_copy)), 0)
        manifests = self.user_manifests(self.home / ".config")
        manifests[2].write_text('{"name":"some.other.host","path":"/bin/sh"}')
        manifests[3].write_text("not json")
        states = [line.split()[0] for line in self.run_tool("status").stdout.splitlines()]
        self.assertEqual(states, ["ok", "ok", "invalid", "invalid", "ok", "ok"])
        # Firefox refuses a manifest in Chromium's form, and one with both lists.
        firefox = json.loads(self.firefox_manifest().read_text())
        for manifest in (expected_manifest(str(host_copy)), dict(firefox, allowed_origins=[])):
            self.firefox_manifest().write_text(json.dumps(manifest))
            self.assertEqual(self.run_tool("status").stdout.splitlines()[-1].split()[0], "invalid", manifest)
        self.firefox_manifest().write_text(json.dumps(firefox))
        host_copy.unlink()
        result = self.run_tool("status")
        self.assert_status(result, 1)
        self.assertEqual([line.split()[0] for line in result.stdout.splitlines()],
                         ["broken", "broken", "invalid", "invalid", "broken", "broken"])


# Hosts that misbehave, as python scripts.
BAD_HOSTS = {
    "text": "print('data: hello'); sys.stdin.read()",
    "silent": "open(sys.argv[0] + '.pid', 'w').write(str(os.getpid())); sys.stdin.read(); time.sleep(60)",
    "ends": "sys.stderr.write('boom'); sys.exit(3)",
    "args": "import json, struct\nb = json.dumps({'argv': sys.argv, 'cwd': os.getcwd()}).encode()\n"
            "sys.stdout.buffer.write(struct.pack('<I', len(b)) + b); sys.stdout.flush(); sys.stdin.read()",
}
ADDON = "nimbra-test@velisto.example"


class LinuxDoctor(unittest.TestCase):
    """nimbra-register doctor with HOME, XDG_DATA_HOME and the system root in
    temporary folders. Whether its verdicts are Chromium's own is for
    tests/e2e/doctor_e2e.py, against the real browser."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="nimbra-doctor-"))
        self.home, self.root, self.data = self.tmp / "home", self.tmp / "root", self.tmp / "data"
        self.user_dir = self.home / ".config" / "chromium" / "NativeMessagingHosts"
        self.system_dir = self.root / "etc" / "chromium" / "native-messaging-hosts"
        self.policy_dir = self.root / "etc" / "chromium" / "policies" / "managed"
        (self.root / "usr/lib/chromium").mkdir(parents=True)
        (self.root / "usr/lib/chromium/chromium").write_text("")  # so Chromium counts as installed
        self.host = self.tmp / "bin" / "nimbra-native-host"
        self.host.parent.mkdir()
        shutil.copy(ARGS.host, self.host)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def manifest(self, folder, path=None, origins=(COMPANION,)):
        folder.mkdir(parents=True, exist_ok=True)
        value = dict(expected_manifest(str(path or self.host), origins))
        (folder / MANIFEST).write_text(json.dumps(value))

    def script(self, name, mode=0o755):
        path = self.tmp / "bin" / name
        path.write_text("#!/usr/bin/python3\nimport os, sys, time\n" + BAD_HOSTS.get(name, "") + "\n")
        path.chmod(mode)
        return path

    def doctor(self, *args, code=None):
        env = {k: v for k, v in os.environ.items() if k not in ("XDG_CONFIG_HOME", "XDG_DATA_HOME")}
        env.update(HOME=str(self.home), XDG_DATA_HOME=str(self.data))
        result = subprocess.run([ARGS.tool, "doctor", "--json", "--root", str(self.root), "--wait", "1", *args],
                                capture_output=True, text=True, env=env, timeout=60)
        if code is not None:
            self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        return json.loads(result.stdout)

    def chromium(self, report):
        return next(b for b in report["browsers"] if b["browser"] == "chromium")

    def test_verdict_reason_and_fix(self):
        system_install = f"nimbra-register install --system --root {self.root}"
        # (case, setup, outcome, words of the reason, words of the fix)
        cases = [
            ("nothing registered", lambda: None, "not_found", "no manifest", "nimbra-register install"),
            ("registered", lambda: self.manifest(self.user_dir), "ok", "", ""),
            ("broken user manifest hides the system one",
             lambda: (self.manifest(self.system_dir), self.user_dir.mkdir(parents=True),
                      (self.user_dir / MANIFEST).write_text('{"name": "com.velisto.nimbra"')),
             "not_found", f"never reads {self.system_dir / MANIFEST}", "nimbra-register install"),
            ("user-level hosts off",
             lambda: (self.manifest(self.user_dir), self.policy_dir.mkdir(parents=True),
                      (self.policy_dir / "a.json").write_text('{"NativeMessagingUserLevelHosts": false}')),
             "not_found", "NativeMessagingUserLevelHosts", system_install),
            ("blocked, allowlist of another host",
             lambda: (self.manifest(self.user_dir), self.policy_dir.mkdir(parents=True),
                      (self.policy_dir / "b").write_text('{"NativeMessagingBlocklist": ["*"], '
                                                         '"NativeMessagingAllowlist": ["x.y"],}')),
             "blocked", str(self.policy_dir / "b"), "NativeMessagingAllowlist"),
            ("another extension", lambda: self.manifest(self.user_dir, origins=OTHER_IDS[:1]),
             "forbidden", OTHER_IDS[0], "nimbra-register install"),
            ("relative host path", lambda: self.manifest(self.user_dir, path="nimbra-native-host"),
             "not_found", "not absolute", "nimbra-register install"),
            ("host writes text", lambda: self.manifest(self.user_dir, path=self.script("text")),
             "bad_frame", "1635017060", "standard output"),
            ("host says nothing", lambda: self.manifest(self.user_dir, path=self.script("silent")),
             "no_reply", "within 1 s", "by hand"),
            ("host ends", lambda: self.manifest(self.user_dir, path=self.script("ends")),
             "exited", "without writing", "by hand"),
            ("host not executable", lambda: self.manifest(self.user_dir, path=self.script("plain", 0o644)),
             "exited", "chmod +x", "by hand"),
        ]
        for case, setup, outcome, reason, fix in cases:
            with self.subTest(case=case):
                for folder in (self.home, self.root / "etc"):
                    shutil.rmtree(folder, ignore_errors=True)
                setup()
                report = self.doctor(code=0 if outcome == "ok" else 1)
                chromium = self.chromium(report)
                self.assertEqual(chromium["outcome"], outcome, chromium)
                self.assertIn(reason, chromium.get("reason", ""))
                self.assertIn(fix, chromium.get("fix", ""))
                self.assertEqual(report["ok"], outcome == "ok")
        # What the browser refused is shown as the host wrote it.
        self.manifest(self.user_dir, path=self.script("text"))
        self.assertEqual(self.chromium(self.doctor())["first_bytes"], "data: hello\\n")
        self.manifest(self.user_dir, path=self.script("ends"))
        self.assertEqual(self.chromium(self.doctor())["error_output"], "boom")
        # The silent host was killed, not left behind.
        pid = (self.tmp / "bin" / "silent.pid").read_text()
        self.assertNotIn(b"silent", Path(f"/proc/{pid}/cmdline").read_bytes() if Path(f"/proc/{pid}").exists() else b"")

    def test_firefox_reads_on_and_starts_the_host_itself(self):
        user_dir = self.home / ".mozilla" / "native-messaging-hosts"
        system_dir = self.root / "usr" / "lib" / "mozilla" / "native-messaging-hosts"

        def firefox(folder, path=None, ids=(ADDON,), text=None):
            folder.mkdir(parents=True, exist_ok=True)
            if folder == system_dir and path is None:  # a system-wide path is read below --root
                shutil.copy(self.host, self.root / "usr" / "host")
                path = "/usr/host"
            value = {"name": HOST_NAME, "description": "d", "path": str(path or self.host), "type": "stdio",
                     "allowed_extensions": list(ids)}
            (folder / MANIFEST).write_text(json.dumps(value) if text is None else text)

        bare = self.tmp / "bin" / "bare"
        bare.write_text("echo hi\n")
        bare.chmod(0o755)
        no_such = "No such native application com.velisto.nimbra"
        unexpected = "An unexpected error occurred"
        install = f"nimbra-register install --firefox-extension-id {ADDON}"
        # (case, setup, verdict, words of the reason, words of the fix, state of each place)
        cases = [
            ("a broken user manifest, a good system one", lambda: (firefox(user_dir, text="{"), firefox(system_dir)),
             "ok", "", "", ["read, refused: the browser reads on", "read by the browser"]),
            ("another add-on at both levels",
             lambda: (firefox(user_dir, ids=["x@y"]), firefox(system_dir, ids=["x@y"])), no_such,
             f"does not allow the extension {ADDON} (it allows x@y); then ", install, ["read, refused: the browser reads on"] * 2),
            ("no host where the path points", lambda: (firefox(user_dir, path=self.tmp / "gone"), firefox(system_dir)),
             unexpected, "there is no file", install, ["read, refused: the browser reads on", "read by the browser"]),
            ("a script without #!", lambda: firefox(user_dir, path=bare), unexpected, "Exec format error", "by hand",
             ["read by the browser", "absent"]),
        ]
        for case, setup, verdict, reason, fix, states in cases:
            with self.subTest(case=case):
                for folder in (self.home, self.root / "usr"):
                    shutil.rmtree(folder, ignore_errors=True)
                setup()
                report = self.doctor("--firefox-extension-id", ADDON, code=0 if verdict == "ok" else 1)
                row = next(b for b in report["browsers"] if b["browser"] == "firefox")
                self.assertEqual(row["verdict"], verdict, row)
                self.assertIn(reason, row.get("reason", ""))
                self.assertIn(fix, row.get("fix", ""))
                self.assertEqual([p["state"] for p in row["looked"]], states)
        # Started directly in its own folder, with the manifest's path and the add-on id.
        shutil.rmtree(self.home, ignore_errors=True)
        firefox(user_dir, path=self.script("args"))
        row = next(b for b in self.doctor("--firefox-extension-id", ADDON)["browsers"] if b["browser"] == "firefox")
        self.assertEqual(json.loads(row["reply"]), {"argv": [str(self.tmp / "bin" / "args"), str(user_dir / MANIFEST), ADDON],
                                                    "cwd": str(self.tmp / "bin")})

    def test_every_browser_and_what_the_browser_cannot_see(self):
        env = dict(os.environ, HOME=str(self.home), XDG_CONFIG_HOME=str(self.tmp / "xdg"))
        subprocess.run([ARGS.tool, "install", "--host", str(self.host)], env=env, check=True, capture_output=True)
        dir_ = self.data / "Velisto" / "Nimbra"
        dir_.mkdir(parents=True)
        (dir_ / "extension-heartbeats-v2.json").write_text(json.dumps(
            {"edge": {"timestamp_ms": 1, "extension_id": COMPANION, "extension_version": "2.0"}}))
        (dir_ / "desktop-launch.lock").write_text("pid=1\n")
        os.utime(dir_ / "desktop-launch.lock", (1, 1))
        shutil.copy(ARGS.host, self.tmp / "bin" / "velisto-download-manager")

        # XDG_CONFIG_HOME is honoured as the browsers honour it.
        result = subprocess.run([ARGS.tool, "doctor", "--json", "--root", str(self.root)], capture_output=True,
                                text=True, env=dict(env, XDG_DATA_HOME=str(self.data)), timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout)
        report = json.loads(result.stdout)
        states = {b["browser"]: (b["verdict"], b["registered"]) for b in report["browsers"]}
        self.assertEqual(states, {**{b: ("ok", True) for b in ("chrome", "chromium", "edge", "brave", "vivaldi", "firefox")},
                                  "opera": ("Specified native messaging host not found.", False)})
        chromium = self.chromium(report)
        self.assertEqual(chromium["looked"][0], {"where": str(self.tmp / "xdg/chromium/NativeMessagingHosts" / MANIFEST),
                                                 "level": "user", "state": "read by the browser"})
        self.assertEqual(json.loads(chromium["reply"]), {"host": HOST_NAME, "ok": True, "version": "1.0.4"})
        self.assertEqual(report["desktop_app"]["beside_hosts"],
                         [{"host": str(self.host), "application": str(self.tmp / "bin" / "velisto-download-manager")}])
        data = report["data_dir"]
        self.assertEqual((data["path"], data["writable"], data["problems"]), (str(dir_), True, []))
        self.assertEqual(data["heartbeats"][0]["browser"], "edge")
        self.assertGreater(data["launch_lock"]["age_ms"], 1_000_000)
        self.assertEqual(sorted(p.name for p in dir_.iterdir()),  # the probe is gone; the ping left its heartbeat
                         ["desktop-launch.lock", "extension-heartbeat.json", "extension-heartbeats-v2.json"])

        # The same in words, and what makes the data directory a problem.
        (dir_ / "extension-heartbeats-v2.json").write_text("[]")
        os.utime(dir_ / "desktop-launch.lock", (4e9, 4e9))
        (self.tmp / "bin" / "velisto-download-manager").unlink()
        result = subprocess.run([ARGS.tool, "doctor", "--root", str(self.root)], capture_output=True, text=True,
                                env=dict(env, XDG_DATA_HOME=str(self.data)), timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout)
        for words in ["Chromium: ok\n", "Opera: not installed, nothing registered\n", "problem: no \"velisto-download",
                      "extension-heartbeats-v2.json is not valid", "dated in the future", "last request: a doctor's ping"]:
            self.assertIn(words, result.stdout)


def windows_path(path):
    """The path as a program under wine sees it through the Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class WineRegistration(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("WINEPREFIX"):
            self.fail("WINEPREFIX is not set")
        for path in (ARGS.tool, ARGS.host):
            if not Path(path).is_file():
                self.fail(f"{path} is missing: build the windows preset first")
        self.env = dict(os.environ, WINEDEBUG="-all")
        self.tmp = Path(tempfile.mkdtemp(prefix="nimbra-register-wine-"))
        self.clean_registry()

    def tearDown(self):
        self.clean_registry()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def clean_registry(self):
        # One regedit run deletes every key a case may have made; each start
        # of a wine program costs most of a second.
        keys = [f"{root}\\{key}" for root in ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE") for key in WINDOWS_KEYS]
        keys.append(OTHER_HOST_KEY.replace("HKCU", "HKEY_CURRENT_USER"))
        script = self.tmp / "clean.reg"
        script.write_text("Windows Registry Editor Version 5.00\r\n\r\n" +
                          "".join(f"[-{key}]\r\n" for key in keys), encoding="utf-16")
        self.assert_status(subprocess.run(["wine", "regedit", "/s", windows_path(script)], capture_output=True,
                                          env=self.env, timeout=120), 0)
        script.unlink()

    def reg(self, *args):
        return subprocess.run(["wine", "reg", *args], capture_output=True, env=self.env, timeout=120)

    def registered_values(self, root):
        """Each key's default value exactly, read from .reg exports (UTF-16,
        so nothing is lost to the console code page); None where absent."""
        long_root = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}[root]
        # HKCU\Software is small enough to export whole; HKLM's is not.
        exports = [f"{root}\\Software"] if root == "HKCU" else [f"{root}\\{key}" for key in WINDOWS_KEYS]
        values = {}
        for exported in exports:
            export = self.tmp / "export.reg"
            if self.reg("export", exported, windows_path(export), "/y").returncode != 0:
                continue
            section = None
            for line in export.read_bytes().decode("utf-16").splitlines():
                if line.startswith("[") and line.endswith("]"):
                    section = line[1:-1]
                elif line.startswith("@=") and section is not None:
                    values[section] = json.loads(line[2:])  # a .reg string escapes like JSON
            export.unlink()
        return [values.get(f"{long_root}\\{key}") for key in WINDOWS_KEYS]

    def tool(self, folder, *args, cwd=None):
        return subprocess.run(["wine", str(Path(folder) / "nimbra-register.exe"), *args], capture_output=True,
                              env=self.env, cwd=cwd, timeout=120)

    def assert_status(self, result, code):
        self.assertEqual(result.returncode, code,
                         f"stdout:\n{result.stdout.decode(errors='replace')}\n"
                         f"stderr:\n{result.stderr.decode(errors='replace')}")

    def unpacked(self, name, with_host=True):
        folder = self.tmp / name
        folder.mkdir()
        shutil.copy(ARGS.tool, folder / "nimbra-register.exe")
        if with_host:
            shutil.copy(ARGS.host, folder / "nimbra-native-host.exe")
        return folder

    def test_install_registers_four_keys_and_uninstall_removes_them(self):
        folder = self.unpacked("Velisto Nimbra")
        self.assert_status(self.reg("add", OTHER_HOST_KEY, "/ve", "/d", r"C:\other.json", "/f"), 0)
        self.assert_status(self.tool(folder, "install"), 0)
        for key, manifest in zip(WINDOWS_KEYS, WINDOWS_MANIFESTS):
            query = self.reg("query", f"HKCU\\{key}", "/ve")
            self.assert_status(query, 0)
            lines = [l for l in query.stdout.decode().splitlines() if "REG_SZ" in l]
            self.assertEqual(len(lines), 1, query.stdout)
            self.assertEqual(lines[0].split("REG_SZ", 1)[1].strip(), windows_path(folder / manifest))
        self.assertEqual(self.registered_values("HKLM"), [None] * 4)
        host = windows_path(folder / "nimbra-native-host.exe")
        self.assertEqual(json.loads((folder / MANIFEST).read_text(encoding="utf-8")), expected_manifest(host))
        self.assertEqual(json.loads((folder / FIREFOX_MANIFEST_ON_WINDOWS).read_text(encoding="utf-8")),
                         expected_firefox_manifest(host))
        self.assertEqual(sorted(p.name for p in folder.iterdir()),
                         [FIREFOX_MANIFEST_ON_WINDOWS, MANIFEST, "nimbra-native-host.exe", "nimbra-register.exe"])
        self.assert_status(self.tool(folder, "status"), 0)

        self.assert_status(self.tool(folder, "uninstall"), 0)
        for key in WINDOWS_KEYS:
            self.assertNotEqual(self.reg("query", f"HKCU\\{key}").returncode, 0, key)
        self.assertFalse((folder / MANIFEST).exists())
        self.assertEqual(sorted(p.name for p in folder.iterdir()), ["nimbra-native-host.exe", "nimbra-register.exe"])
        # Only our key goes: the browser's folder of hosts and its other hosts stay.
        self.assert_status(self.reg("query", OTHER_HOST_KEY, "/ve"), 0)
        self.assert_status(self.tool(folder, "status"), 1)

    def test_unicode_folder_is_registered_exactly(self):
        folder = self.unpacked("Velisto Ünïcode 下载 😀")
        self.assert_status(self.tool(folder, "install"), 0)
        self.assertEqual(self.registered_values("HKCU"), [windows_path(folder / m) for m in WINDOWS_MANIFESTS])
        for manifest in (MANIFEST, FIREFOX_MANIFEST_ON_WINDOWS):
            self.assertEqual(json.loads((folder / manifest).read_text(encoding="utf-8"))["path"],
                             windows_path(folder / "nimbra-native-host.exe"))
        self.assert_status(self.tool(folder, "status"), 0)
        self.assert_status(self.tool(folder, "uninstall"), 0)
        self.assertEqual(sorted(p.name for p in folder.iterdir()), ["nimbra-native-host.exe", "nimbra-register.exe"])
        self.assertEqual(self.registered_values("HKCU"), [None] * 4)

    def test_user_and_system_registrations_share_the_manifest(self):
        folder = self.unpacked("shared")
        manifests = [folder / MANIFEST, folder / FIREFOX_MANIFEST_ON_WINDOWS]
        self.assert_status(self.tool(folder, "install"), 0)
        self.assert_status(self.tool(folder, "install", "--system"), 0)
        self.assertEqual(self.registered_values("HKLM"), [windows_path(folder / m) for m in WINDOWS_MANIFESTS])
        self.assert_status(self.tool(folder, "status", "--system"), 0)

        self.assert_status(self.tool(folder, "uninstall"), 0)
        self.assertEqual([m.exists() for m in manifests], [True, True], "the system-wide keys still name them")
        self.assert_status(self.tool(folder, "status", "--system"), 0)
        self.assert_status(self.tool(folder, "uninstall", "--system"), 0)
        self.assertEqual([m.exists() for m in manifests], [False, False])
        self.assertEqual(self.registered_values("HKLM"), [None] * 4)

    def test_explicit_host_and_extension_ids(self):
        tools = self.unpacked("tools", with_host=False)
        (self.tmp / "app" / "sub").mkdir(parents=True)
        host = self.tmp / "app" / "sub" / "nimbra-native-host.exe"
        shutil.copy(ARGS.host, host)
        result = self.tool(tools, "install", "--host", r"sub\..\sub\nimbra-native-host.exe",
                           "--extension-id", OTHER_IDS[0], "--extension-id", OTHER_IDS[1],
                           "--firefox-extension-id", FIREFOX_IDS[1], cwd=self.tmp / "app")
        self.assert_status(result, 0)
        folder = self.tmp / "app" / "sub"
        self.assertEqual(json.loads((folder / MANIFEST).read_text(encoding="utf-8")),
                         expected_manifest(windows_path(host), OTHER_IDS))
        self.assertEqual(json.loads((folder / FIREFOX_MANIFEST_ON_WINDOWS).read_text(encoding="utf-8")),
                         expected_firefox_manifest(windows_path(host), FIREFOX_IDS[1:]))
        self.assertEqual(self.registered_values("HKCU"), [windows_path(folder / m) for m in WINDOWS_MANIFESTS])
        self.assertEqual([p.name for p in tools.iterdir()], ["nimbra-register.exe"])
        self.assert_status(self.tool(tools, "uninstall"), 0)
        self.assertEqual([p.name for p in folder.iterdir()], ["nimbra-native-host.exe"])

    def test_failures_leave_the_registry_alone(self):
        alone = self.unpacked("alone", with_host=False)
        cases = [
            (["install"], 1),  # no host beside the tool
            (["install", "--host", windows_path(self.tmp / "missing.exe")], 1),
            (["install", "--host", windows_path(self.tmp)], 1),
            (["install", "--extension-id", "not-an-id"], 2),
            (["install", "--firefox-extension-id", "not-an-id"], 2),
            (["install", "--system", "--root", windows_path(self.tmp)], 2),
            (["remove"], 2),
        ]
        for args, code in cases:
            with self.subTest(args=args):
                self.assert_status(self.tool(alone, *args), code)
        self.assertEqual(self.registered_values("HKCU"), [None] * 4)
        self.assertEqual(self.registered_values("HKLM"), [None] * 4)
        self.assertEqual([p.name for p in alone.iterdir()], ["nimbra-register.exe"])


class WineDoctor(unittest.TestCase):
    """nimbra-register doctor under wine, against registrations and policies
    set with reg add; it starts the host through cmd.exe, and the host writes
    the prefix's data directory."""

    CHROME = r"Software\Google\Chrome\NativeMessagingHosts\com.velisto.nimbra"
    CHROMIUM = r"Software\Chromium\NativeMessagingHosts\com.velisto.nimbra"
    EDGE = r"Software\Microsoft\Edge\NativeMessagingHosts\com.velisto.nimbra"
    MOZILLA = r"Software\Mozilla\NativeMessagingHosts\com.velisto.nimbra"
    POLICIES = [r"Software\Policies\Google\Chrome", r"Software\Policies\Microsoft\Edge"]

    def setUp(self):
        if not os.environ.get("WINEPREFIX"):
            self.fail("WINEPREFIX is not set")
        self.env = dict(os.environ, WINEDEBUG="-all")
        self.tmp = Path(tempfile.mkdtemp(prefix="nimbra-doctor-wine-"))
        # cmd.exe must keep the host's quotation marks around such a folder.
        self.folder = self.tmp / "Program Files (x86)" / "Velisto & Co"
        self.folder.mkdir(parents=True)
        for path in (ARGS.tool, ARGS.host):
            shutil.copy(path, self.folder)
        for name, path in [("good", "nimbra-native-host.exe"), ("chatty", "chatty.bat")]:
            (self.folder / f"{name}.json").write_text(json.dumps(expected_manifest(path)))
        (self.folder / "broken.json").write_text('{"name": "com.velisto.nimbra"')
        # Firefox's form, with the build's default add-on and a path relative to the manifest.
        (self.folder / "firefox.json").write_text(json.dumps(
            {"name": HOST_NAME, "description": "d", "path": "nimbra-native-host.exe", "type": "stdio",
             "allowed_extensions": ["nimbra-extension@velisto.example"]}))
        (self.folder / "chatty.bat").write_text("@echo data: hello\r\n")
        self.clean_registry()

    def tearDown(self):
        self.clean_registry()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def clean_registry(self):
        keys = [f"HKEY_{root}\\{key}" for root in ("CURRENT_USER", "LOCAL_MACHINE")
                for key in [self.CHROME, self.CHROMIUM, self.EDGE, self.MOZILLA] + self.POLICIES]
        keys += [k.replace("LOCAL_MACHINE\\Software", "LOCAL_MACHINE\\Software\\Wow6432Node") for k in keys]
        script = self.tmp / "clean.reg"
        script.write_text("Windows Registry Editor Version 5.00\r\n\r\n" +
                          "".join(f"[-{key}]\r\n" for key in keys), encoding="utf-16")
        result = subprocess.run(["wine", "regedit", "/s", windows_path(script)], capture_output=True, env=self.env,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)

    def run_bat(self, *lines):
        batch = self.tmp / "setup.bat"
        # Wine's cmd.exe ends with status 1 after "a || b" even when a succeeds.
        batch.write_text("@echo off\r\n" + "".join(f"{line}\r\nif errorlevel 1 exit /b 1\r\n" for line in lines))
        result = subprocess.run(["wine", "cmd", "/c", windows_path(batch)], capture_output=True, env=self.env,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def doctor(self):
        result = subprocess.run(["wine", str(self.folder / "nimbra-register.exe"), "doctor", "--json"],
                                capture_output=True, env=self.env, timeout=120)
        report = json.loads(result.stdout.decode())
        return result.returncode, {b["browser"]: b for b in report["browsers"]}

    def test_lookup_policies_and_launch(self):
        good, broken, chatty, firefox = (windows_path(self.folder / f"{n}.json")
                                         for n in ("good", "broken", "chatty", "firefox"))
        def key(root, name, value, view=""):
            return f'reg add "{root}\\{name}" /ve /d "{value}" /f{view}'
        blocklist = f'reg add "HKCU\\{self.POLICIES[1]}\\NativeMessagingBlocklist" /v 1 /d * /f'
        # (case, reg commands, outcome per browser: None where nothing is registered)
        cases = [
            ("HKLM, 32-bit view only", [key("HKLM", self.CHROME, good, " /reg:32")],
             {"chrome": "ok", "chromium": "ok", "brave": "ok", "edge": None}),
            ("Chromium's own key before Chrome's", [key("HKCU", self.CHROMIUM, broken), key("HKCU", self.CHROME, good)],
             {"chromium": "not_found", "chrome": "ok", "edge": None}),
            ("user-level hosts off for Chrome only",
             [key("HKCU", self.CHROME, good),
              f'reg add "HKLM\\{self.POLICIES[0]}" /v NativeMessagingUserLevelHosts /t REG_DWORD /d 0 /f'],
             {"chrome": "not_found", "brave": "ok", "chromium": "ok"}),
            ("Edge's blocklist", [key("HKCU", self.EDGE, chatty), blocklist], {"edge": "blocked"}),
            ("Edge's blocklist and allowlist, a host that writes text",
             [key("HKCU", self.EDGE, chatty), blocklist,
              f'reg add "HKCU\\{self.POLICIES[1]}\\NativeMessagingAllowlist" /v 1 /d {HOST_NAME} /f'],
             {"edge": "bad_frame", "chrome": None}),
            ("a manifest named relatively", [key("HKCU", self.CHROME, "good.json")], {"chrome": "not_found"}),
            ("Firefox: HKLM, 32-bit view only", [key("HKLM", self.MOZILLA, firefox, " /reg:32")],
             {"firefox": "ok", "chrome": None}),
            ("Firefox: a broken HKCU manifest hides HKLM's",
             [key("HKCU", self.MOZILLA, broken), key("HKLM", self.MOZILLA, firefox)], {"firefox": "not_found"}),
            ("Firefox: a Chromium manifest in HKCU", [key("HKCU", self.MOZILLA, good)], {"firefox": "not_found"}),
            ("Firefox: REG_EXPAND_SZ is no path to Firefox, HKLM's 64-bit view is",
             [key("HKCU", self.MOZILLA, broken) + " /t REG_EXPAND_SZ", key("HKLM", self.MOZILLA, firefox, " /reg:64")],
             {"firefox": "ok"}),
        ]
        for case, commands, outcomes in cases:
            with self.subTest(case=case):
                self.clean_registry()
                self.run_bat(*commands)
                code, browsers = self.doctor()
                for browser, outcome in outcomes.items():
                    entry = browsers[browser]
                    self.assertEqual(entry["outcome"] if entry["registered"] else None, outcome, entry)
                self.assertEqual(code, 0 if all(o in ("ok", None) for o in outcomes.values()) else 1)
        # The 32-bit view of HKLM, and the launch as the browser does it.
        self.clean_registry()
        self.run_bat(key("HKLM", self.CHROME, good, " /reg:32"))
        chrome = self.doctor()[1]["chrome"]
        self.assertIn(r"HKLM\Software\Google\Chrome\NativeMessagingHosts\com.velisto.nimbra (32-bit view): read",
                      "\n".join(f"{p['where']}: {p['state']}" for p in chrome["looked"]))
        self.assertRegex(chrome["command"], r'^C:\\windows\\system32\\cmd\.exe /d /c ""Z:.*\\nimbra-native-host\.exe" '
                                            r'chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/ --parent-window=0 < ')
        self.assertEqual(json.loads(chrome["reply"]), {"host": HOST_NAME, "ok": True, "version": "1.0.4"})
        # Firefox starts the host itself, with the manifest's path and the add-on id.
        self.clean_registry()
        self.run_bat(key("HKCU", self.MOZILLA, firefox))
        row = self.doctor()[1]["firefox"]
        self.assertEqual(row["command"], f'"{windows_path(self.folder)}\\nimbra-native-host.exe" "{firefox}" '
                                         "nimbra-extension@velisto.example")
        self.assertEqual(json.loads(row["reply"]), {"host": HOST_NAME, "ok": True, "version": "1.0.4"})


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("target", choices=["linux", "wine", "wine-doctor"])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--host", required=True)
    ARGS, rest = parser.parse_known_args()
    cases = {"linux": [LinuxRegistration, LinuxDoctor], "wine": [WineRegistration], "wine-doctor": [WineDoctor]}
    suite = unittest.TestSuite(t for c in cases[ARGS.target] for t in unittest.defaultTestLoader.loadTestsFromTestCase(c))
    if rest:
        suite = unittest.TestSuite(t for t in suite if any(name in t.id() for name in rest))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)


if __name__ == "__main__":
    main()
