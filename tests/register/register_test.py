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


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("target", choices=["linux", "wine"])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--host", required=True)
    ARGS, rest = parser.parse_known_args()
    case = LinuxRegistration if ARGS.target == "linux" else WineRegistration
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(case)
    if rest:
        suite = unittest.TestSuite(t for t in suite if any(name in t.id() for name in rest))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)


if __name__ == "__main__":
    main()
