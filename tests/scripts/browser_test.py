#!/usr/bin/python3
"""kesp-browser with the real browser: headless Firefox ESR and the unmodified
browserpass extension of webext-browserpass, installed for the session through
Marionette. A login page served on 127.0.0.1 under a host name that Firefox
maps there; the extension's popup lists that domain's entries, and a click
fills the page's user name and password fields.

  browser_test.py KESP_BROWSER KESP [EXTENSION_FOLDER]

Exits 77 (skipped) under KESP_TEST_WRAPPER: the browser's own run under
valgrind would cost CI minutes and test nothing of kesp's memory. A missing
firefox-esr or extension fails.
"""
import http.server
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from marionette import Marionette  # noqa: E402

EXTENSION = ("/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/"
             "browserpass@maximbaz.com")
EXTENSION_UUID = "6c0a2a0e-6b5e-4c39-9f0e-6b657370a001"
SITE = "shop.example.com"

LOGIN_PAGE = b"""<!DOCTYPE html>
<html><head><title>Shop login</title></head><body>
<form id="login" action="/done" method="post">
<input type="text" name="username" id="username">
<input type="password" name="password" id="password">
<button type="submit">Sign in</button>
</form></body></html>
"""

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)


class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(LOGIN_PAGE)))
        self.end_headers()
        self.wfile.write(LOGIN_PAGE)

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, probe, tries=300):
    """Polls `probe` until it returns something true: counted tries."""
    for _ in range(tries):
        value = probe()
        if value:
            return value
        time.sleep(0.1)
    raise RuntimeError("timed out waiting for " + what)


def main():
    if os.environ.get("KESP_TEST_WRAPPER"):
        print("skipped under KESP_TEST_WRAPPER")
        return 77
    host_program, kesp = sys.argv[1], sys.argv[2]
    extension = sys.argv[3] if len(sys.argv) > 3 else EXTENSION
    firefox = shutil.which("firefox-esr")
    if not firefox or not os.path.isfile(os.path.join(extension, "manifest.json")):
        print("FAIL: firefox-esr and webext-browserpass are needed (scripts/install-deps.sh)")
        return 1

    root = tempfile.mkdtemp(prefix="kesp-browser-test.")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]
    browser = None
    client = None
    try:
        home = os.path.join(root, "home")
        profile = os.path.join(root, "profile")
        os.makedirs(home)
        os.makedirs(profile)
        env = {"HOME": home, "PATH": "/usr/local/bin:/usr/bin:/bin", "LC_ALL": "C.UTF-8",
               "TMPDIR": root, "MOZ_HEADLESS": "1"}

        # The active database, with an entry for the site and one elsewhere.
        db = os.path.join(home, "vault.db")
        subprocess.run([kesp, "-i", db], env=env, stdin=subprocess.DEVNULL, check=True,
                       stdout=subprocess.DEVNULL)
        with sqlite3.connect(db) as con:
            con.executemany("insert into entries(title, user, url, password, notes) values (?,?,?,?,?)", [
                ("Shop", "alice", "http://%s:%d/login" % (SITE, port), "Zq8-shop-secret-41", "mine"),
                ("Elsewhere", "bob", "https://other.example.net/", "not-for-the-shop", ""),
            ])
        con.close()
        installed = subprocess.run([host_program, "install", "--firefox"], env=env,
                                   capture_output=True, text=True)
        check(installed.returncode == 0, "kesp-browser install: " + installed.stderr)

        marionette_port = free_port()
        prefs = {
            "marionette.port": marionette_port,
            "network.dns.localDomains": SITE,
            "xpinstall.signatures.required": False,
            "extensions.webextensions.uuids": '{"browserpass@maximbaz.com":"%s"}' % EXTENSION_UUID,
            "extensions.autoDisableScopes": 15,
            "browser.shell.checkDefaultBrowser": False,
            "browser.startup.homepage_override.mstone": "ignore",
            "datareporting.policy.dataSubmissionEnabled": False,
            "toolkit.telemetry.reportingpolicy.firstRun": False,
            "app.update.disabledForTesting": True,
            "network.proxy.type": 0,
        }
        with open(os.path.join(profile, "user.js"), "w") as f:
            for name, value in prefs.items():
                literal = ("true" if value else "false") if isinstance(value, bool) else \
                    str(value) if isinstance(value, int) else '"%s"' % value.replace('"', '\\"')
                f.write('user_pref("%s", %s);\n' % (name, literal))
        browser = subprocess.Popen([firefox, "--headless", "--marionette", "-remote-allow-system-access",
                                    "--no-remote", "--profile", profile], env=env,
                                   stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "firefox.log"), "w"))
        client = Marionette(marionette_port)
        client.command("WebDriver:NewSession", {"capabilities": {}})
        client.command("Addon:Install", {"path": extension, "temporary": True})

        client.command("WebDriver:Navigate", {"url": "http://%s:%d/login" % (SITE, port)})
        page = client.value("WebDriver:GetWindowHandle")
        # The popup, in a background tab: the login page stays the tab the
        # extension fills.
        client.context("chrome")
        client.script("""
            const url = arguments[0];
            window.gBrowser.addTab(url, {inBackground: true,
                triggeringPrincipal: Services.scriptSecurityManager.getSystemPrincipal()});""",
                      ["moz-extension://%s/popup/popup.html" % EXTENSION_UUID])
        client.context("content")
        popup = wait_for("the popup's tab", lambda: [h for h in client.value("WebDriver:GetWindowHandles")
                                                     if h != page])[0]
        client.command("WebDriver:SwitchToWindow", {"handle": popup, "focus": False})

        def listed():
            return client.script("""
                const logins = document.querySelectorAll('.part.login');
                const error = document.querySelector('.part.error');
                if (error) return 'error: ' + error.textContent;
                return logins.length ? Array.from(logins, l => l.textContent).join('|') : null;""")
        shown = wait_for("the popup's list", listed)
        print("the popup lists: " + shown, flush=True)
        check(shown == "pass%s:%d/alice" % (SITE, port), "the popup lists %r" % shown)
        if not shown.startswith("error"):
            client.script("document.querySelector('.part.login').click();")

        client.command("WebDriver:SwitchToWindow", {"handle": page, "focus": True})
        def filled():
            values = client.script("""return [document.getElementById('username').value,
                                              document.getElementById('password').value];""")
            return values if values[1] else None
        try:
            values = wait_for("the filled fields", filled, tries=100)
        except RuntimeError as e:
            values = [str(e), ""]
        print("the page holds: %r" % (values,), flush=True)
        check(values == ["alice", "Zq8-shop-secret-41"], "the page holds %r" % (values,))
        # Nothing of the secret in the manifest or anywhere else in HOME.
        for folder, _, names in os.walk(home):
            for name in names:
                if name == "vault.db":
                    continue
                with open(os.path.join(folder, name), "rb") as f:
                    check(b"Zq8-shop-secret-41" not in f.read(), "the password is in " + name)
    finally:
        if client:
            client.close()
        if browser:
            try:
                browser.wait(timeout=20)
            except subprocess.TimeoutExpired:
                browser.kill()
                browser.wait()
        server.shutdown()
        if failures and os.path.exists(os.path.join(root, "firefox.log")):
            with open(os.path.join(root, "firefox.log")) as f:
                sys.stdout.write(f.read()[-4000:])
        shutil.rmtree(root, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
