#!/usr/bin/python3
"""Drives headless Chromium over the DevTools protocol through the web administration.

browser.py PORT devices: as admin beside a registered panel 7 calling phone alice, works the
door-device and status pages, then every administration page; then as anna checks that the
administration stays closed to a plain user. browser.py PORT sip SIP_PORT: the admin works the
SIP pages in both modes, and a baresip phone registers with an account made there.
Prints one line per failed check; exits 1 on any failure.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request

import websocket

PORT, ROLE = int(sys.argv[1]), sys.argv[2]
BASE = "http://127.0.0.1:%d" % PORT
failures = []


def check(ok, text):
    if not ok:
        failures.append(text)
        print("FAIL: " + text, flush=True)


class Browser:
    def __init__(self, user, password):
        self.credentials = (user, password)
        self.dir = tempfile.mkdtemp(prefix="tarnhall-chromium-")
        self.proc = subprocess.Popen(
            ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--user-data-dir=" + self.dir, "--remote-debugging-port=0",
             "--remote-debugging-address=127.0.0.1", "--window-size=420,900", "about:blank"],
            stdout=open(os.path.join(self.dir, "log"), "w"), stderr=subprocess.STDOUT,
            start_new_session=True)
        port_file = os.path.join(self.dir, "DevToolsActivePort")
        deadline = time.monotonic() + 60
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("chromium did not start")
            time.sleep(0.1)
        port = open(port_file).read().split()[0]
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port))
        page = next(t for t in targets if t["type"] == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=60)
        self.next_id = 0
        self.events = []
        self.call("Page.enable")
        self.call("Fetch.enable", handleAuthRequests=True, patterns=[{"urlPattern": "*"}])

    def handle(self, message):
        method, params = message.get("method"), message.get("params", {})
        if method == "Fetch.requestPaused":
            self.send("Fetch.continueRequest", requestId=params["requestId"])
        elif method == "Fetch.authRequired":
            user, password = self.credentials
            self.send("Fetch.continueWithAuth", requestId=params["requestId"],
                      authChallengeResponse={"response": "ProvideCredentials",
                                             "username": user, "password": password})
        elif method:
            self.events.append(method)

    def send(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        return self.next_id

    def call(self, method, **params):
        wanted = self.send(method, **params)
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == wanted:
                return message.get("result", {})
            self.handle(message)

    def wait_load(self):
        while "Page.loadEventFired" not in self.events:
            self.handle(json.loads(self.ws.recv()))
        self.events.remove("Page.loadEventFired")

    def goto(self, path):
        self.events.clear()
        self.call("Page.navigate", url=BASE + path)
        self.wait_load()

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result.get("result", {}).get("value")

    def submit(self, expression):
        """Runs script that submits a form and waits for the page it leads to."""
        self.events.clear()
        self.js(expression)
        self.wait_load()

    def close(self):
        # Chromium ends its helpers itself; any left would still write into the profile.
        try:
            self.call("Browser.close")
            self.proc.wait(30)
        except Exception:
            pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


ICON = "document.querySelector('button[name=%s][value=\"%s\"]').closest('tr')" \
       ".querySelector('img').getAttribute('src')"
TEXT = "document.body.innerText"


def until(b, path, expression, seconds=30):
    """Reloads the page until the expression holds (live states change on their own time)."""
    deadline = time.monotonic() + seconds
    while True:
        b.goto(path)
        if b.js(expression) or time.monotonic() > deadline:
            return b.js(expression)
        time.sleep(0.5)


def fill(b, values, button="#entry-form button[type=submit]"):
    """Sets fields by id (check boxes take booleans), clicks the button, waits for the answer."""
    b.submit("""(() => {
        for (const [id, value] of Object.entries(%s)) {
            const e = document.getElementById(id);
            if (e.type === "checkbox") e.checked = value; else e.value = value;
        }
        window.confirm = () => true;
        document.querySelector(%s).click();
    })()""" % (json.dumps(values), json.dumps(button)))


def text(b):
    return b.js(TEXT)


def click(b, selector):
    b.submit("window.confirm = () => true; document.querySelector(%s).click()" % json.dumps(selector))


def new_entry(b, path, values, button="#entry-form button[type=submit]"):
    b.goto(path)
    click(b, "button[name=__new]")
    check(b.js("location.search") == "?new", "new form of " + path)
    fill(b, values, button)


def add_edit_delete(b, path, values):
    name = values["user-id"]
    new_entry(b, path, values)
    click(b, "button[name=__edit][value=%s]" % name)
    check(b.js("document.getElementById('user-id').readOnly"), "name fixed while editing")
    fill(b, {"display-name": "Правка " + name})
    check("Правка " + name in text(b), "added and edited on " + path)
    click(b, "button[name=__delete][value=%s]" % name)
    check(name not in text(b), "deleted from " + path)


def icon(b, name):
    b.goto("/sip-module.htm")
    return b.js(ICON % ("unregister_sip", name))


PAGES = ["/index.htm", "/status.htm", "/sys-info.htm", "/sip-module.htm", "/velk-devices.htm",
         "/admin-module.htm", "/admin-settings.htm", "/admin-users.htm"]
ADMIN_MENU = "[...document.querySelectorAll('#menu a')].some(a => a.href.endsWith('admin-users.htm'))"
USER_FORM = "#user-form button[type=submit]"
BOB = {"admin-id": "bob", "display-name": "Боб <b>", "password": "q\"uo'te<&>", "is-admin": "false"}


def run_admin(b):
    b.goto("/index.htm")
    check(b.js("document.title").startswith("Главная"), "start page after login")
    check(b.js(ADMIN_MENU), "administration menu for the admin")
    b.goto("/admin-module.htm")
    check("работает" in b.js("document.querySelector('.state').textContent"), "listener state line")
    check(text(b).count("admin*") == 1, "own session marked once")

    # New user through the list page's button and the form.
    new_entry(b, "/admin-users.htm", BOB, USER_FORM)
    check(b.js("location.pathname") == "/admin-users.htm", "back on the list after saving")
    check("Боб <b>" in text(b), "display name shown as text")
    # Saved twice unchanged through the edit form: the values must come back as they were.
    for _ in range(2):
        click(b, "button[name=__edit][value=bob]")
        check(b.js("document.getElementById('admin-id').readOnly"), "name fixed while editing")
        check(all(b.js("document.getElementById('%s').value" % k) == v for k, v in BOB.items()),
              "user form values")
        click(b, USER_FORM)

    b.goto("/admin-users.htm?new")
    fill(b, {"admin-id": "admin"}, USER_FORM)
    check("уже существует" in text(b), "taken name reported")

    # Settings: expires changed, protocol log off; the answer is the restart page.
    b.goto("/admin-settings.htm")
    fill(b, {"expires": "700", "log-protocol": False}, "form.settings button[type=submit]")
    check(b.js("document.getElementById('target').href") == BASE + "/index.htm", "restart page target")
    # The page moves on by itself once the module is back.
    b.wait_load()
    check(b.js("location.pathname") == "/index.htm", "back on the start page after the restart")


def run_user(b):
    b.goto("/index.htm")
    check(b.js("document.title").startswith("Главная"), "start page for a plain user")
    check(not b.js(ADMIN_MENU), "no administration menu for a plain user")
    for path in PAGES:
        b.goto(path)
        expected = "/index.htm" if path.startswith("/admin-") else path
        check(b.js("location.pathname") == expected, "plain user on " + path)


def run_sip(b):
    b.goto("/sip-module.htm")
    check("работает" in b.js("document.querySelector('.state').textContent"), "SIP state line")
    settings = "#settings-form button[type=submit]"
    b.goto("/sip-settings.htm")
    fill(b, {"standalone-bind-address": "10.1.1.255"}, settings)
    check(b.js("document.getElementById('standalone-bind-address').classList.contains('invalid')")
          and "Недопустимый адрес" in text(b), "wrong address shown with its error")
    fill(b, {"standalone-bind-address": "127.0.0.1", "port-range-start": "42000",
             "port-range-stop": "42999", "log-sip": True}, settings)
    check(b.js("location.pathname") == "/sip-settings.htm"
          and b.js("document.getElementById('port-range-start').value") == "42000",
          "settings page after the restart")

    new_entry(b, "/sip-accounts.htm", {"user-id": "Door1", "type-user": "0",
                                       "velk-device-id": "5", "velk-wiretapping": "paging"})
    new_entry(b, "/sip-accounts.htm", {"user-id": "Phone1", "type-user": "1",
                                       "display-name": "Телефон <1>",
                                       "sip-standalone-login": "phone1",
                                       "sip-standalone-password": "secret"})
    check("Телефон <1>" in text(b), "display name listed as text")
    new_entry(b, "/sip-groups.htm", {"user-id": "Hall", "memberDoor1": True})
    b.goto("/sip-groups.htm")
    click(b, "button[name=__edit][value=Hall]")
    check(b.js("document.getElementById('memberDoor1').checked"), "group member ticked")
    check("status_green" in icon(b, "Hall"), "standalone group ready")
    add_edit_delete(b, "/sip-accounts.htm", {"user-id": "x1acc", "type-user": "1"})
    add_edit_delete(b, "/sip-groups.htm", {"user-id": "x1grp", "memberDoor1": True})
    # baresip registers with the account made above: the module page shows it green.
    work = tempfile.mkdtemp(prefix="tarnhall-baresip-")
    open(os.path.join(work, "config"), "w").write(
        "sip_listen 127.0.0.1:0\nmodule_path /usr/lib/baresip/modules\nmodule g711.so\n"
        "module_app account.so\n")
    open(os.path.join(work, "accounts"), "w").write(
        "<sip:Phone1@127.0.0.1:%s>;auth_user=phone1;auth_pass=secret;regint=60\n" % sys.argv[3])
    phone = subprocess.Popen(["baresip", "-f", work], stdin=subprocess.PIPE,
                             stdout=open(os.path.join(work, "log"), "w"), stderr=subprocess.STDOUT)
    try:
        check(until(b, "/sip-module.htm", ICON % ("unregister_sip", "Phone1")
                    + " === 'img/status_green.png'", 60), "phone registered")
    finally:
        phone.kill()
        phone.wait()
        shutil.rmtree(work, ignore_errors=True)

    b.goto("/sip-settings.htm")
    b.submit("document.querySelector('input[name=standalone][value=false]').click();"
             "document.getElementById('change-mode').click()")
    check(b.js("document.getElementById('server-address') !== null"), "gateway settings")
    add_edit_delete(b, "/sip-accounts.htm", {"user-id": "x2acc", "sip-server-login": "x2"})
    add_edit_delete(b, "/sip-groups.htm", {"user-id": "x2grp", "sip-server-login": "x2"})
    new_entry(b, "/sip-groups.htm", {"user-id": "gwgroup", "sip-server-login": "grp"})
    check("status_gray" in icon(b, "gwgroup"), "unregistered gateway group gray")


def run_devices(b):
    # Panel 7 is calling alice: both busy, the call listed while it lasts.
    b.goto("/index.htm")
    check(b.js(ICON % ("unregister_velk", "7")) == "img/status_yellow.png", "panel 7 busy")
    check(b.js(ICON % ("unregister_sip", "alice")) == "img/status_yellow.png", "alice busy")
    check("7 (sip: door)" in text(b) and "Ворота <b>" in text(b), "panel 7 named")
    check("Алиса <a>" in text(b), "display name shown as text")
    call = "document.querySelector('button[name=close_call]')"
    check(b.js(call + ".closest('tr').innerText").count("alice") == 1, "call of alice listed")
    b.submit(call + ".click()")
    check(b.js(call) is None, "call closed")
    check(until(b, "/velk-module.htm", ICON % ("unregister_velk", "7") + " === 'img/status_green.png'"),
          "panel 7 ready after the call")
    check("работает" in b.js("document.querySelector('.state').textContent"), "module state")

    b.goto("/velk-settings.htm")
    fill(b, {"port-range-start": "52000", "port-range-stop": "52999"},
         "#settings-form button[type=submit]")
    check(b.js("document.getElementById('port-range-start').value") == "52000", "settings saved")
    b.goto("/velk-dialplan.htm")
    fill(b, {"dialplan-relay1-on": "77"}, "#dialplan-form button[type=submit]")
    check(b.js("document.getElementById('dialplan-relay1-on').value") == "77", "dial plan saved")

    # A new device with one keypad code, then its form again.
    b.goto("/velk-devices.htm")
    click(b, "button[name=__new]")
    check(b.js("document.getElementById('dialplan-relay1-on').value") == "77",
          "new device starts with the global dial plan")
    b.submit("""(() => {
        document.getElementById('device-id').value = '12';
        document.getElementById('description').value = 'Калитка <b>';
        document.getElementById('dpm-add').click();
        const inputs = document.querySelectorAll('#dpm-entries input');
        inputs[0].value = '12';
        inputs[1].value = '101';
        document.querySelector('#device-form button[type=submit]').click();
    })()""")
    check(b.js("location.pathname") == "/velk-devices.htm", "back on the list")
    check("Калитка <b>" in text(b), "new device listed")
    click(b, "button[name=__edit][value=\"12\"]")
    check(b.js("document.getElementById('device-id').readOnly"), "number fixed while editing")
    check(b.js("[...document.querySelectorAll('#dpm-entries input')].map(i => i.value).join()")
          == "12,101", "keypad code shown")

    # The firmware upload of panel 7 from its form.
    b.goto("/velk-devices.htm?edit=7")
    check("готово" in b.js("document.getElementById('firmware-state').textContent"), "live state")
    click(b, "#firmware-upload")
    check(b.js("location.pathname") == "/velk-module.htm", "module page after the request")

    # The status page's actions.
    b.goto("/status.htm?timeout=600")
    click(b, "button[name=unregister_sip][value=alice]")
    check(b.js("location.search") == "?timeout=600", "interval kept")
    check(b.js(ICON % ("unregister_sip", "alice")) == "img/status_gray.png", "alice unregistered")
    click(b, "button[name=unregister_velk][value=\"7\"]")
    check(b.js(ICON % ("unregister_velk", "7")) == "img/status_gray.png", "panel 7 unregistered")

    b.goto("/sys-info.htm")
    check("MemTotal:" in text(b) and "loopback" in text(b), "memory and interfaces")


def main():
    if ROLE == "sip":
        runs = [(("admin", "tallowfin"), [run_sip])]
    else:
        runs = [(("admin", "tallowfin"), [run_devices, run_admin]), (("anna", "anna-pw"), [run_user])]
    for credentials, steps in runs:
        browser = Browser(*credentials)
        try:
            for step in steps:
                step(browser)
        except Exception as error:
            # The lines of this script that led there: a hang shows where it waited.
            where = [f for f in traceback.extract_tb(error.__traceback__) if f.filename == __file__]
            check(False, "%r at %s" % (error, ", ".join("%s:%d" % (f.name, f.lineno) for f in where)))
        finally:
            browser.close()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
