#!/usr/bin/env python3
"""End-to-end tests: headless Firefox ESR, the test extension, and the host.

    python3 tests/e2e/firefox_e2e.py --host build/native/nimbra-native-host --tools-dir DIR
    python3 tests/e2e/firefox_e2e.py --installed-deb DEB --companion-id ID --tools-dir DIR   (as root)

The test extension goes unsigned into a fresh profile, which Firefox ESR loads
with PREFS. Firefox finds the host through the registration the built
nimbra-register writes into ~/.mozilla, or, with --installed-deb, through the
manifest the package installs in /usr/lib/mozilla, which allows only the
companion's add-on id, so the extension takes that id. Firefox offers no pipe
into an extension, so firefox.js runs the session and posts the replies here.
Firefox ESR 153 looks for manifests in ~/.mozilla/native-messaging-hosts and
/usr/lib/mozilla/native-messaging-hosts only, and takes one with
"allowed_origins" for none. Cases, checks and the package are the Chromium
suite's (chromium_e2e.py).
"""

import argparse
import http.server
import json
import queue
import signal
import subprocess
import sys
import threading
import time
import types
import zipfile
from pathlib import Path

import chromium_e2e as e2e
from chromium_e2e import Failure, check, compact, expect_reply

DEFAULT_FIREFOX = "/usr/lib/firefox-esr/firefox-esr"
TEST_ADDON_ID = "nimbra-e2e@velisto.example"
SYSTEM_MANIFEST = Path("/usr/lib/mozilla/native-messaging-hosts") / f"{e2e.HOST_NAME}.json"
UNKNOWN_REPLY = {"error": "Unknown message type", "ok": False}
# Firefox's start, the application's start and the transfer, on a busy machine.
SESSION_TIMEOUT = 120
# ESR loads an unsigned add-on with the first off, and enables one found in
# the profile's extensions folder with the second at 0.
PREFS = {"xpinstall.signatures.required": False, "extensions.autoDisableScopes": 0}


class ReportHandler(http.server.BaseHTTPRequestHandler):
    """Takes what the extension posts."""

    def do_POST(self):
        self.server.reports.put(self.rfile.read(int(self.headers.get("Content-Length", 0))))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


class Firefox(e2e.Browser):
    """A headless Firefox in a session of its own, stopped as Chromium is."""

    pipe = None

    def __init__(self, program, profile, env, log_path):
        self.log_path = log_path
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen([program, "--headless", "--no-remote", "--profile", str(profile),
                                             "about:blank"], env=env, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True)


def write_extension(profile, addon_id, run, script="firefox.js"):
    """The test extension as addon_id in the profile, with its driver script and run.json."""
    manifest = {
        "manifest_version": 2,
        "name": "Nimbra end-to-end test extension",
        "version": "0.0.1",
        "browser_specific_settings": {"gecko": {"id": addon_id}},
        "permissions": ["nativeMessaging", "http://127.0.0.1/*"],
        "background": {"scripts": ["background.js", script]},
    }
    (profile / "extensions").mkdir(parents=True)
    with zipfile.ZipFile(profile / "extensions" / f"{addon_id}.xpi", "w") as xpi:
        xpi.writestr("manifest.json", json.dumps(manifest))
        xpi.writestr("run.json", json.dumps(run))
        for name in ("background.js", script):
            xpi.write(e2e.EXTENSION_SOURCE / name, name)
    (profile / "user.js").write_text("".join(f'user_pref("{k}", {json.dumps(v)});\n' for k, v in PREFS.items()))


def run_session(case, addon_id):
    """Starts Firefox with the test extension as addon_id and checks the session it reports."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ReportHandler)
    server.reports = queue.Queue()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        write_extension(case.profile, addon_id, {
            "driver": f"http://127.0.0.1:{server.server_port}/", "quickMs": e2e.QUICK_REQUEST_MS,
            "handoffMs": e2e.HANDOFF_REQUEST_MS, "blob": e2e.blob_options(case)})
        began = time.monotonic()
        case.browser = Firefox(case.suite.firefox, case.profile, case.browser_env(), case.root / "firefox.log")
        try:
            seen = json.loads(server.reports.get(timeout=SESSION_TIMEOUT))
        except queue.Empty:
            raise Failure(f"the extension reported nothing within {SESSION_TIMEOUT} s")
    finally:
        server.shutdown()
    case.note(f"Firefox started and the session ran in {time.monotonic() - began:.2f} s")
    check("thrown" not in seen, f"the extension threw: {seen.get('thrown')}")
    expect_reply(seen["ping"], e2e.PING_REPLY, "ping by sendNativeMessage")
    expect_reply(seen["unknown"], UNKNOWN_REPLY, "unknown type")
    expect_reply(seen["download"], {"launched": True, "ok": True}, "add_download")
    check(case.standin_lines("type=add_download"),
          f"add_download: the stand-in application recorded no download job: {case.standin_record()}")
    e2e.check_blob_transfer(case, e2e.blob_options(case), seen["blob"])
    starts = case.standin_lines("start")
    check(len(starts) == 1, f"the stand-in was started {len(starts)} times, expected once: {case.standin_record()}")
    # Firefox is none of the browsers the host tells apart: the legacy
    # heartbeat names no browser and no per-browser entry is written.
    legacy = json.loads((case.data_dir / "extension-heartbeat.json").read_text())
    check("browser_id" in legacy and legacy["browser_id"] is None, f"legacy heartbeat: {compact(legacy)}")
    check(not (case.data_dir / "extension-heartbeats-v2.json").exists(), "a per-browser heartbeat was written")
    case.wait_host_gone("after the port closed")


def case_user(case):
    """Through the per-user registration that nimbra-register writes."""
    command = [str(case.suite.tools_dir / "nimbra-register"), "install", "--host", str(case.host),
               "--firefox-extension-id", TEST_ADDON_ID]
    case.place_programs(with_desktop_app=True)
    result = subprocess.run(command, env=case.browser_env(), capture_output=True, text=True, timeout=60)
    check(result.returncode == 0, f"{' '.join(command)} exited with {result.returncode}: {result.stderr}")
    run_session(case, TEST_ADDON_ID)


def case_installed(case):
    """Through the system-wide registration of the installed package, which allows the companion alone."""
    check(SYSTEM_MANIFEST.is_file(), f"the package installed no {SYSTEM_MANIFEST}")
    manifest = json.loads(SYSTEM_MANIFEST.read_text())
    expected = {"name": e2e.HOST_NAME, "path": str(e2e.INSTALLED_HOST), "type": "stdio",
                "allowed_extensions": [case.suite.companion_id]}
    check({k: manifest.get(k) for k in expected} == expected and "allowed_origins" not in manifest,
          f"{SYSTEM_MANIFEST} should be {compact(expected)} without allowed_origins: {compact(manifest)}")
    case.place_programs(with_desktop_app=True)
    run_session(case, case.suite.companion_id)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", help="the host executable to test")
    parser.add_argument("--installed-deb", metavar="DEB", help="instead of --host: install this Debian package "
                        "(as root), run against the installed host, then purge it")
    parser.add_argument("--companion-id", help="with --installed-deb: the add-on id the package allows")
    parser.add_argument("--tools-dir", required=True, help="where the test tools were built")
    parser.add_argument("--firefox", default=DEFAULT_FIREFOX, help=f"Firefox's binary (default {DEFAULT_FIREFOX})")
    parser.add_argument("--keep", action="store_true", help="keep each run's temporary folder")
    args = parser.parse_args()
    if (args.host is None) == (args.installed_deb is None) or (args.installed_deb and not args.companion_id):
        parser.error("give either --host or --installed-deb with --companion-id")
    installed = args.installed_deb is not None
    suite = types.SimpleNamespace(installed=installed, tools_dir=Path(args.tools_dir).resolve(), cases=[],
                                  host=e2e.INSTALLED_HOST if installed else Path(args.host).resolve(),
                                  firefox=args.firefox, companion_id=args.companion_id, keep=args.keep)
    if installed:
        suite.package = e2e.installable_package(args.installed_deb)
        if not isinstance(suite.package, e2e.Package):
            return suite.package
    # A test runner's SIGTERM still runs the cleanup on the way out.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    if installed:
        passed, failed = e2e.run_installed(suite, [("installed", case_installed)])
    else:
        ok = e2e.run_case(suite, "user", case_user)[0]
        passed, failed = int(ok), int(not ok)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
