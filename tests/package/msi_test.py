#!/usr/bin/env python3
"""The Windows installer in a wine prefix of its own: the project's version
unsigned, then the same files as the next version signed with a throwaway
certificate, installed over it and removed. Arguments: see CMakeLists.txt."""

import argparse, json, ntpath, os, re, shutil, struct, subprocess, sys, tempfile, unittest
from pathlib import Path

KEYS = [rf"HKEY_CURRENT_USER\Software\{browser}\NativeMessagingHosts\com.velisto.nimbra"
        for browser in (r"Google\Chrome", r"Microsoft\Edge", "Chromium")]
PRODUCT = "Velisto Download Manager browser connector"
ORIGIN = "chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/"
REG_STRING = re.compile(r'^(@|"(?:[^"\\]|\\.)*")=("(?:[^"\\]|\\.)*")$')  # escaped like JSON
ARGS = None


def run(*command, ok=True, **kwargs):
    result = subprocess.run([str(part) for part in command], capture_output=True, timeout=300, **kwargs)
    if ok and result.returncode != 0:
        raise AssertionError(f"{command} failed:\n{(result.stdout + result.stderr).decode(errors='replace')}")
    return result


def framed(body):
    return struct.pack("<I", len(body)) + body


class Installer(unittest.TestCase):
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
        cls.said = {version: run("bash", ARGS.make_msi, "--version", version, "--out", tmp / f"{version}.msi",
                                 "--windows-tree", ARGS.windows_tree, "--manifest-tool", ARGS.manifest_tool,
                                 env=env).stdout for version, env in ((ARGS.version, plain), (cls.newer, signing))}
        run("msiextract", "-C", tmp / "signed", tmp / f"{cls.newer}.msi")
        cls.signed = tmp / "signed" / "Programs" / "Velisto" / "Nimbra"

        (tmp / "prefix").mkdir()
        cls.env = dict(os.environ, WINEPREFIX=str(tmp / "prefix"), WINEDEBUG="-all")
        cls.addClassCleanup(run, "wineserver", "-k", env=cls.env, ok=False)
        # A server kept running makes each wine start cheap; neither it nor what
        # the prefix's first start leaves running may hold our pipes.
        for command in (["wineserver", "-p"], ["wine", "cmd", "/c", "exit"]):
            subprocess.run(command, env=cls.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=300)
        cls.local = cls.unix(cls.wine("cmd", "/c", "echo", "%LOCALAPPDATA%").stdout.decode().strip())

    @classmethod
    def wine(cls, *args, **kwargs):
        return run("wine", *args, env=cls.env, **kwargs)

    @classmethod
    def unix(cls, path):
        drive, rest = ntpath.splitdrive(path)
        base = {"c:": Path(cls.env["WINEPREFIX"]) / "drive_c", "z:": Path("/")}[drive.lower()]
        return base.joinpath(*filter(None, rest.split("\\")))

    def msiexec(self, action, version, ok=True):
        return self.wine("msiexec", action, "Z:" + str(self.tmp / f"{version}.msi").replace("/", "\\"), "/qn", ok=ok)

    def registry(self, key):
        """{key: {name ('@': the default): string value}} below `key`."""
        export = self.tmp / "export.reg"
        if self.wine("reg", "export", key, "Z:" + str(export).replace("/", "\\"), "/y", ok=False).returncode:
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
        return [(v.get("Publisher"), v.get("DisplayVersion")) for v in found.values() if v.get("DisplayName") == PRODUCT]

    def local_files(self):
        return {str(p.relative_to(self.local)): p.is_file() and p.read_bytes() for p in self.local.rglob("*")}

    def ping_through_every_key(self):
        """Chrome's way to the host: key, manifest, the manifest's relative path
        from the manifest's folder; started with a browser's arguments."""
        keys, hosts = self.registry(r"HKEY_CURRENT_USER\Software"), set()
        for key in KEYS:
            manifest_path = keys[key]["@"]
            manifest = json.loads(self.unix(manifest_path).read_text(encoding="utf-8"))
            self.assertEqual((manifest["name"], manifest["path"]), ("com.velisto.nimbra", "nimbra-native-host.exe"))
            self.assertIn(ORIGIN, manifest["allowed_origins"])
            hosts.add(ntpath.join(ntpath.dirname(manifest_path), manifest["path"]))
        [host] = hosts
        reply = self.wine(host, ORIGIN, "--parent-window=0", input=framed(b'{"type":"ping"}')).stdout
        self.assertEqual(reply, framed(b'{"host":"com.velisto.nimbra","ok":true,"version":"%s"}'
                                       % ARGS.version.encode()))
        return self.unix(host).parent

    def test_install_upgrade_and_uninstall(self):
        data = self.local / "Velisto" / "Nimbra"  # the application's, never the installer's
        data.mkdir(parents=True)
        (data / "settings.json").write_text("{}")
        keys_before = set(self.registry(r"HKEY_CURRENT_USER\Software"))

        self.msiexec("/i", ARGS.version)
        folder = self.ping_through_every_key()
        self.assertEqual(folder, self.local / "Programs" / "Velisto" / "Nimbra")
        self.assertEqual(sorted(p.name for p in folder.iterdir()),
                         ["com.velisto.nimbra.json", "nimbra-native-host.exe", "nimbra-register.exe"])
        self.assertEqual(self.entries(), [("Velisto", ARGS.version)])
        [icon] = [v["ProductIcon"] for v in self.registry(r"HKEY_CURRENT_USER\Software\Microsoft\Installer\Products")
                  .values() if v.get("ProductName") == PRODUCT]
        self.assertEqual(self.unix(icon).read_bytes(), Path(ARGS.icon).read_bytes())
        self.wine(folder / "nimbra-register.exe", "status", cwd=self.tmp)  # finds the host as a browser does

        self.msiexec("/i", self.newer)
        self.assertEqual(self.ping_through_every_key(), folder)
        self.assertEqual(self.entries(), [("Velisto", self.newer)])
        for name in ("nimbra-native-host.exe", "nimbra-register.exe"):  # the new, signed ones
            self.assertEqual((folder / name).read_bytes(), (self.signed / name).read_bytes())
        self.assertNotEqual(self.msiexec("/i", ARGS.version, ok=False).returncode, 0, "went over a newer one")
        self.assertEqual(self.entries(), [("Velisto", self.newer)])

        kept = {path: content for path, content in self.local_files().items() if not path.startswith("Programs")}
        self.msiexec("/x", self.newer)
        self.assertEqual(self.entries(), [])
        self.assertEqual(self.local_files(), kept)  # no Programs folder, the data directory byte for byte
        keys_after = self.registry(r"HKEY_CURRENT_USER\Software")
        created = {key.rsplit("\\", depth)[0] for key in KEYS for depth in range(4)}  # with parents
        self.assertEqual(created & set(keys_after), created & keys_before)
        self.assertEqual([k for k, v in keys_after.items() if re.search("velisto|nimbra", k + str(v), re.I)], [])

    def test_signatures(self):
        self.assertIn(b"not signed", self.said[ARGS.version])
        for signed in (self.tmp / f"{self.newer}.msi", *(self.signed / n for n in ("nimbra-native-host.exe",
                                                                                    "nimbra-register.exe"))):
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

    def test_asks_for_no_administrator(self):
        # Wine cannot show it; Windows reads summary word count bit 3 and the absence of ALLUSERS.
        package = self.tmp / f"{ARGS.version}.msi"
        self.assertTrue(int(re.search(rb"^Source: (\d+)", run("msiinfo", "suminfo", package).stdout, re.M)[1]) & 8)
        self.assertNotIn(b"\nALLUSERS\t", run("msiinfo", "export", package, "Property").stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--make-msi", "--windows-tree", "--manifest-tool", "--version", "--icon"):
        parser.add_argument(option, required=True)
    ARGS = parser.parse_args()
    result = unittest.TextTestRunner(verbosity=2).run(unittest.defaultTestLoader.loadTestsFromTestCase(Installer))
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
