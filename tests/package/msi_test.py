#!/usr/bin/env python3
"""Both Windows installers, each in a wine prefix of its own: the project's
version unsigned, then the same files as the next version signed with a
throwaway certificate, installed over it and removed; beside a stand-in
desktop application, or in the default folder. Arguments: see CMakeLists.txt."""

import argparse, json, ntpath, os, re, select, shutil, struct, subprocess, sys, tempfile, time, unittest
from pathlib import Path

KEYS = [rf"Software\{browser}\NativeMessagingHosts\com.velisto.nimbra"
        for browser in (r"Google\Chrome", r"Microsoft\Edge", "Chromium", "Mozilla")]
APP_PATHS = r"Software\Microsoft\Windows\CurrentVersion\App Paths"
PRODUCT = "Velisto Download Manager browser connector"
APP = r"C:\Apps\Velisto Download Manager"  # a stand-in application's folder
ORIGIN = "chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/"
ADDON = "nimbra-extension@velisto.example"  # the build's default Firefox add-on id
REG_STRING = re.compile(r'^(@|"(?:[^"\\]|\\.)*")=("(?:[^"\\]|\\.)*")$')  # escaped like JSON
ARGS = None


def run(*command, ok=True, **kwargs):
    result = subprocess.run([str(part) for part in command], capture_output=True, timeout=300, **kwargs)
    if ok and result.returncode != 0:
        raise AssertionError(f"{command} failed:\n{(result.stdout + result.stderr).decode(errors='replace')}")
    return result


def framed(body):
    return struct.pack("<I", len(body)) + body


def windows(path):
    return "Z:" + str(path).replace("/", "\\")


class Scope:
    """What both packages must do, run by PerUser and PerMachine below."""

    @classmethod
    def setUpClass(cls):
        tmp = cls.tmp = Path(tempfile.mkdtemp(prefix="nimbra-msi-"))
        cls.addClassCleanup(shutil.rmtree, tmp, ignore_errors=True)
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Throwaway",
            "-addext", "extendedKeyUsage=codeSigning", "-keyout", tmp / "key.pem", "-out", tmp / "cert.pem")
        run("openssl", "pkcs12", "-export", "-inkey", tmp / "key.pem", "-in", tmp / "cert.pem",
            "-out", tmp / "cert.pfx", "-passout", "pass:throwaway")
        major_minor, build = ARGS.version.rsplit(".", 1)
        cls.newer = f"{major_minor}.{int(build) + 1}"
        plain = {k: v for k, v in os.environ.items() if not k.startswith("NIMBRA_SIGN_")}
        signing = dict(plain, NIMBRA_SIGN_PFX=str(tmp / "cert.pfx"), NIMBRA_SIGN_PASSWORD="throwaway")
        cls.said = {version: run("bash", ARGS.make_msi, "--version", version, "--out-dir", tmp,
                                 "--windows-tree", ARGS.windows_tree, "--manifest-tool", ARGS.manifest_tool,
                                 env=env).stdout for version, env in ((ARGS.version, plain), (cls.newer, signing))}
        run("msiextract", "-C", tmp / "signed", cls.package(cls.newer))
        [cls.signed] = {p.parent for p in (tmp / "signed").rglob("nimbra-native-host.exe")}

        (tmp / "prefix").mkdir()
        cls.env = dict(os.environ, WINEPREFIX=str(tmp / "prefix"), WINEDEBUG="-all")
        cls.addClassCleanup(run, "wineserver", "-k", env=cls.env, ok=False)
        # A server kept running makes each wine start cheap; neither it nor what
        # the prefix's first start leaves running may hold our pipes.
        for command in (["wineserver", "-p"], ["wine", "cmd", "/c", "exit"]):
            subprocess.run(command, env=cls.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=300)
        cls.local = cls.unix(cls.wine("cmd", "/c", "echo", "%LOCALAPPDATA%").stdout.decode().strip())
        cls.made = cls.unix(cls.wine("cmd", "/c", "echo", cls.made_folder).stdout.decode().strip())
        cls.app = cls.unix(APP)
        cls.app.mkdir(parents=True)
        shutil.copy(Path(ARGS.windows_tree) / "tools" / "standin.exe", cls.app / cls.app_exe)

    @classmethod
    def package(cls, version):
        return cls.tmp / f"velisto-nimbra-host-{version}-{cls.suffix}.msi"

    @classmethod
    def wine(cls, *args, **kwargs):
        return run("wine", *args, env=cls.env, **kwargs)

    @classmethod
    def unix(cls, path):
        drive, rest = ntpath.splitdrive(path)
        base = {"c:": Path(cls.env["WINEPREFIX"]) / "drive_c", "z:": Path("/")}[drive.lower()]
        return base.joinpath(*filter(None, rest.split("\\")))

    def msiexec(self, action, version, *properties, ok=True):
        return self.wine("msiexec", action, windows(self.package(version)), *properties, "/qn", ok=ok)

    def registry(self, key):
        """{key: {name ('@': the default): string value}} below `key`."""
        export = self.tmp / "export.reg"
        if self.wine("reg", "export", key, windows(export), "/y", ok=False).returncode:
            return {}
        keys, current = {}, {}
        for line in export.read_bytes().decode("utf-16").splitlines():
            if line.startswith("[") and line.endswith("]"):
                current = keys.setdefault(line[1:-1], {})
            elif match := REG_STRING.match(line):
                current["@" if match[1] == "@" else json.loads(match[1])] = json.loads(match[2])
        return keys

    def entries(self):
        """Publisher and version of each Add/Remove Programs entry of the connector."""
        found = {}
        for root in ("HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"):
            found.update(self.registry(rf"{root}\Software\Microsoft\Windows\CurrentVersion\Uninstall"))
        return [(v.get("Publisher"), v.get("DisplayVersion")) for v in found.values() if v.get("DisplayName") == self.product]

    def local_files(self):
        return {str(p.relative_to(self.local)): p.is_file() and p.read_bytes() for p in self.local.rglob("*")}

    def ping_through_every_key(self):
        """Chrome's way to the host: key, manifest, the manifest's relative path
        from the manifest's folder; started with a browser's arguments."""
        hosts = set()
        for key in (rf"{self.hive}\{key}" for key in KEYS):
            manifest_path = self.registry(key)[key]["@"]
            manifest = json.loads(self.unix(manifest_path).read_text(encoding="utf-8"))
            self.assertEqual((manifest["name"], manifest["path"]), ("com.velisto.nimbra", "nimbra-native-host.exe"))
            firefox = "Mozilla" in key
            self.assertIn(ADDON if firefox else ORIGIN, manifest["allowed_extensions" if firefox else "allowed_origins"])
            hosts.add(ntpath.join(ntpath.dirname(manifest_path), manifest["path"]))
        [host] = hosts
        reply = self.wine(host, ORIGIN, "--parent-window=0", input=framed(b'{"type":"ping"}')).stdout
        self.assertEqual(reply, framed(b'{"host":"com.velisto.nimbra","ok":true,"version":"%s"}'
                                       % ARGS.version.encode()))
        return self.unix(host).parent

    def open_app(self, folder):
        """open_app through the installed host; the stand-in it starts logs itself."""
        record, running = self.tmp / "record", self.tmp / "standin-runs"
        running.touch()
        env = dict(self.env, NIMBRA_STANDIN_RECORD=windows(record), NIMBRA_STANDIN_RUN_WHILE=windows(running))
        host = subprocess.Popen(["wine", folder / "nimbra-native-host.exe", ORIGIN], env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        host.stdin.write(framed(b'{"type":"open_app"}'))
        host.stdin.close()
        # The one reply, not up to the end: under wine the stand-in holds the host's output.
        self.assertTrue(select.select([host.stdout], [], [], 60)[0], "no reply")
        reply = host.stdout.read(struct.unpack("<I", host.stdout.read(4))[0])
        host.wait(60)
        self.assertEqual(reply, b'{"launched":true,"ok":true}')
        logged = lambda: "".join(log.read_text() for log in record.glob("standin-*.log"))
        for end in ("wake\n", "exit\n"):  # up and woken; then gone before anything is uninstalled
            for _ in range(200):
                if logged().endswith(end):
                    break
                time.sleep(0.05)
            running.unlink(missing_ok=True)
        self.assertRegex(logged(), r"^start pid=\d+ flag=focus\nwake\nexit\n$")

    def test_beside_the_application_upgraded_and_removed(self):
        data = self.local / "Velisto" / "Nimbra"  # the application's, never the installer's
        data.mkdir(parents=True)
        (data / "settings.json").write_text("{}")
        keys_before = set(self.registry(rf"{self.hive}\Software"))

        self.msiexec("/i", ARGS.version, "INSTALLDIR=" + APP)
        self.assertEqual(self.ping_through_every_key(), self.app)
        self.assertEqual(sorted(p.name for p in self.app.iterdir()),
                         sorted([self.app_exe, "com.velisto.nimbra.json", "com.velisto.nimbra.firefox.json",
                                 "nimbra-native-host.exe", "nimbra-register.exe"]))
        self.assertEqual(self.entries(), [("Velisto", ARGS.version)])
        [icon] = [v["ProductIcon"] for v in self.registry(self.products).values() if v.get("ProductName") == self.product]
        self.assertEqual(self.unix(icon).read_bytes(), Path(ARGS.icon).read_bytes())
        # The tool finds the host as a browser does.
        self.wine(self.app / "nimbra-register.exe", "status", *self.register_scope, cwd=self.tmp)
        self.open_app(self.app)

        self.msiexec("/i", self.newer)  # no INSTALLDIR: in place
        self.assertEqual(self.ping_through_every_key(), self.app)
        self.assertEqual(self.entries(), [("Velisto", self.newer)])
        for name in ("nimbra-native-host.exe", "nimbra-register.exe"):  # the new, signed ones
            self.assertEqual((self.app / name).read_bytes(), (self.signed / name).read_bytes())
        self.assertNotEqual(self.msiexec("/i", ARGS.version, ok=False).returncode, 0, "went over a newer one")
        self.assertEqual(self.entries(), [("Velisto", self.newer)])

        kept = self.local_files()
        self.msiexec("/x", self.newer)
        self.assertEqual(self.entries(), [])
        self.assertEqual([p.name for p in self.app.iterdir()], [self.app_exe])
        self.assertEqual(self.local_files(), kept)  # the data directory byte for byte
        keys_after = self.registry(rf"{self.hive}\Software")
        created = {rf"{self.hive}\{key}".rsplit("\\", depth)[0] for key in KEYS for depth in range(4)}  # with parents
        self.assertEqual(created & set(keys_after), created & keys_before)
        self.assertEqual([k for k, v in keys_after.items() if re.search("velisto|nimbra", k + str(v), re.I)], [])

    def test_where_it_goes_without_installdir(self):
        app_path = rf"{self.hive}\{APP_PATHS}\{self.app_exe}"
        for registered, folder in ((True, self.app), (False, self.made.joinpath(*self.default_below))):
            with self.subTest(application_registered=registered):
                if registered:  # as the application's own installer would
                    self.wine("reg", "add", app_path, "/ve", "/d", ntpath.join(APP, self.app_exe), "/f")
                self.msiexec("/i", ARGS.version)
                self.wine("reg", "delete", app_path, "/f", ok=False)
                self.assertEqual(self.ping_through_every_key(), folder)
                self.msiexec("/x", ARGS.version)
                self.assertEqual([p.name for p in self.app.iterdir()], [self.app_exe])
                self.assertFalse(self.made.exists())
        # A registration this package did not make is not taken over.
        self.wine("reg", "add", rf"{self.hive}\{KEYS[0]}", "/ve", "/d", ntpath.join(APP, self.app_exe), "/f")
        self.assertNotEqual(self.msiexec("/i", ARGS.version, ok=False).returncode, 0)
        self.wine("reg", "delete", rf"{self.hive}\{KEYS[0]}", "/f")
        self.assertEqual((self.entries(), [p.name for p in self.app.iterdir()]), ([], [self.app_exe]))

    def test_signatures(self):
        self.assertIn(b"not signed", self.said[ARGS.version])
        for signed in (self.package(self.newer), *(self.signed / n for n in ("nimbra-native-host.exe", "nimbra-register.exe"))):
            with self.subTest(signed.name):
                # The chain fails against the system's roots, as it must for a
                # throwaway certificate; with it as the root, digest and signature hold.
                untrusted = run("osslsigncode", "verify", "-in", signed, ok=False)
                self.assertEqual(untrusted.returncode, 1)
                self.assertIn(b"Error: self-signed certificate", untrusted.stdout)
                trusted = run("osslsigncode", "verify", "-CAfile", self.tmp / "cert.pem", "-in", signed)
                self.assertIn(b"Signature verification: ok", trusted.stdout)
        # Still the executable Windows expects; the installed copy answered ping above.
        self.wine(Path(ARGS.windows_tree) / "tools" / "pe-check.exe", self.signed / "nimbra-native-host.exe")

    def test_elevation(self):
        # Wine cannot show it; Windows asks for an administrator unless summary word
        # count bit 3 is set, and installs for every user with ALLUSERS=1.
        package = self.package(ARGS.version)
        no_elevation = int(re.search(rb"^Source: (\d+)", run("msiinfo", "suminfo", package).stdout, re.M)[1]) & 8
        properties = run("msiinfo", "export", package, "Property").stdout
        privileged = b"\nPrivileged\t" in run("msiinfo", "export", package, "LaunchCondition").stdout
        per_machine = bool(self.register_scope)
        self.assertEqual((not no_elevation, b"\nALLUSERS\t1\r\n" in properties, privileged), (per_machine,) * 3)
        self.assertIn(b"\nSecureCustomProperties\tINSTALLDIR;", properties)


class PerUser(Scope, unittest.TestCase):
    suffix, hive, product, register_scope = "x64", "HKEY_CURRENT_USER", PRODUCT, ()
    products = r"HKEY_CURRENT_USER\Software\Microsoft\Installer\Products"
    made_folder, default_below, app_exe = r"%LOCALAPPDATA%\Programs", ("Velisto", "Nimbra"), "velisto-download-manager.exe"


class PerMachine(Scope, unittest.TestCase):
    suffix, hive, product, register_scope = "x64-allusers", "HKEY_LOCAL_MACHINE", PRODUCT + " (all users)", ("--system",)
    products = r"HKEY_LOCAL_MACHINE\Software\Classes\Installer\Products"
    made_folder, default_below, app_exe = r"%ProgramW6432%\Velisto", ("Nimbra",), "Velisto Download Manager.exe"


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--make-msi", "--windows-tree", "--manifest-tool", "--version", "--icon"):
        parser.add_argument(option, required=True)
    ARGS = parser.parse_args()
    result = unittest.TextTestRunner(verbosity=2).run(unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__]))
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
