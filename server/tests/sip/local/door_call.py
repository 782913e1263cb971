#!/usr/bin/python3
"""A simulated door panel and real baresip phones through the system: the button calls one
phone, a list (the first answer wins) and a paging group; a tone flows each way; the phones key
the door open and shut by RFC 2833 events (SIPp by SIP INFO); either side hangs up; phones ring
the door (answered by its button, at once, listening in), key it on its control account and
page a group; a sensor and the keypad place calls; a door call offers the camera's video; phones hand the door's call on by blind and
attended REFER; every call and event leaves its SMDR record. Usage: door_call.py HOST TONE.wav"""
import os

# The namespaces, the phones, the door side's host, the tone measurement and the harness are
# the phone-to-phone test's: run its set-up part here (it re-runs this script in a namespace).
_here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(_here, "baresip_call.py")) as _f:
    _source = _f.read()
exec(_source[_source.index("import json"):_source.index("def call(")])



class Linphone(Piped):
    """linphonec as the phone "carol": it transfers attended (REFER with Replaces)."""

    def __init__(self, work, addr="127.0.0.4"):
        self.dir = os.path.join(work, "carol")
        os.makedirs(os.path.join(self.dir, ".local", "share", "linphone"))
        self.holder = namespace("carol", addr)
        # Its own address is found by a route out: the default one leads to the server.
        sh("ip", "route", "add", "default", "dev", "p-carol", "src", addr, ns=self.holder.pid)
        with open(os.path.join(self.dir, "rc"), "w") as f:
            f.write(open(os.path.join(_here, "data", "linphonerc")).read().format(server=SERVER))
        self.lines = queue.Queue()
        self.take = self.lines.put
        self.start(["nsenter", "-t", str(self.holder.pid), "-n", "stdbuf", "-oL", "linphonec",
                    "-S", "-c", os.path.join(self.dir, "rc")], os.path.join(self.dir, "log"),
                   stderr=subprocess.STDOUT, cwd=self.dir, env=dict(os.environ, HOME=self.dir))
        self.send("soundcard use files")
        # Its registration is told only when asked.
        for _ in range(60):
            self.send("status register")
            if self.wait(r"registered(, identity|=)").group(1) != "=":
                return
            time.sleep(0.5)
        raise AssertionError("carol did not register")

    def wait(self, pattern, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            line = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            found = re.search(pattern, line)
            if found:
                return found

    def call(self, account, phone=None):
        """The id linphonec gives the call, once it is connected (the phone answers it)."""
        self.send("call sip:%s@%s" % (account, SERVER))
        number = self.wait(r"assigned id (\d+)").group(1)
        if phone:
            phone.wait("CALL_INCOMING")
            phone.command("accept")
        self.wait(r"Call %s .*connected" % number)
        return number

    def stop(self):
        self.log.flush()
        # What the server answered must parse, its registration's Contact included.
        with open(self.log.name) as f:
            broken = [line for line in f if "parser error" in line]
        Piped.stop(self, 10)
        self.holder.kill()
        self.holder.wait()
        assert not broken, broken


def door_hears(host, phone, work, name):
    """The door panel hears the phone's tone in the first two seconds of the call."""
    path = os.path.join(work, "panel-" + name)
    host.send("mark")
    host.send("dump " + path)
    host.expect("dumped")
    # Two seconds of 8-bit audio at 8 kHz, or the host gave up waiting for them.
    assert os.path.getsize(path) >= 16000, (name, os.path.getsize(path))
    heard = peak("-t", "raw", "-r", "8000", "-e", "unsigned", "-b", "8", "-c", "1", path)
    assert abs(heard - phone.freq) < phone.freq * 0.06, (name, heard)


def open_door(host, phone):
    """The phone keys 55 (relay 1 on) and 54 (off) as RFC 2833 events."""
    for code, said in (("55", "relay1 on"), ("54", "relay1 off")):
        for digit in code:
            phone.command("sndcode", digit)
            time.sleep(0.3)
        host.expect(said)


def answer(host, phone, work):
    phone.wait("CALL_INCOMING")
    phone.command("accept")
    phone.wait("CALL_ESTABLISHED")
    door_hears(host, phone, work, phone.name)


def door_call(host, phone, work, hangup_by_door, record="INT"):
    host.ring(phone.name)
    answer(host, phone, work)
    open_door(host, phone)
    host.send("press") if hangup_by_door else phone.command("hangup")
    phone.wait("CALL_CLOSED")
    host.expect("smdr %s door %s" % (record, phone.name))


def list_call(host, alice, bob, work):
    """Both ring; the first to answer wins and the other stops ringing."""
    host.ring("alice,bob")
    bob.wait("CALL_INCOMING")
    answer(host, alice, work)
    bob.wait("CALL_CLOSED")
    alice.hangup()
    host.expect("smdr INT door alice")


def call_door(host, phone, account, work, by_button):
    """The phone calls the door: rung until its button answers, or answered at once."""
    phone.dial(account)
    if by_button:
        phone.wait("CALL_RINGING")
        host.send("press")
    phone.wait("CALL_ESTABLISHED")
    open_door(host, phone)
    phone.command("hangup") if by_button else host.send("press")
    phone.wait("CALL_CLOSED")
    host.expect("smdr")
    host.free()


def sensor_and_keypad(host, alice, bob, work):
    host.free()
    host.send("sensor1")
    host.expect("smdr S1O 1 1")
    answer(host, bob, work)
    host.send("sensor1")
    bob.wait("CALL_CLOSED")
    # '*' clears the keys so far and '#' dials at once: 1 * 1 3 # calls 13 (bob).
    for key in (1, 11, 1, 3, 12):
        host.send("key %d" % key)
    for key in "1*13#":
        host.expect("smdr BTO 2 " + key)
    bob.wait("CALL_INCOMING")
    bob.hangup()


def transfer(host, alice, bob, work):
    """The phone that took the door's call hands it on to another phone (blind REFER)."""
    host.ring("alice")
    answer(host, alice, work)
    alice.command("transfer", "sip:bob@%s" % SERVER)
    bob.wait("CALL_INCOMING")
    bob.command("accept")
    bob.wait("CALL_ESTABLISHED")
    # Three in a call hear nothing: the door hears bob once alice has left.
    alice.wait("CALL_CLOSED")
    door_hears(host, bob, work, "bob-transferred")
    open_door(host, bob)
    bob.hangup()
    host.expect("smdr INT door")


def attended_transfer(host, carol, first, bob, work):
    """carol holds a call with the door (first is None) or a phone, calls bob, then joins the
    two (REFER with Replaces): her calls end and her first party talks with bob."""
    one = carol.call(first.name if first else "door", first)
    carol.send("pause " + one)
    carol.wait(r"Call %s .*paused" % one)
    two = carol.call("bob", bob)
    carol.send("transfer %s --to-call %s" % (one, two))
    for number in (one, two):
        carol.wait(r"Call %s .*(ended|terminated)" % number)
    if first is None:
        door_hears(host, bob, work, "transferred")
        open_door(host, bob)
        bob.hangup()
        host.expect("smdr")
        host.free()
    else:
        # The phone was offered bob's media in its own dialog: it hears bob, its key reaches
        # him, and his hang-up ends its call.
        first.wait("CALL_REMOTE_SDP")
        first.command("sndcode", "5")
        bob.wait("CALL_DTMF_START")
        time.sleep(2)
        bob.hangup()
        first.wait("CALL_CLOSED")
        heard = first.heard(first.dumps()[-1:])
        assert abs(heard - bob.freq) < bob.freq * 0.06, heard


def dial_door(phone, account, then=lambda: None):
    """The phone calls an account the door answers at once, does then and hangs up."""
    phone.dial(account)
    phone.wait("CALL_ESTABLISHED")
    then()
    phone.hangup()


def answered_at_once(host, phone):
    """Listening in, a control account (it takes keys) and a group that pages its door device."""
    dial_door(phone, "door-tap")
    dial_door(phone, "door-ctl", lambda: open_door(host, phone))
    dial_door(phone, "paging", lambda: host.expect("keypad call on"))
    host.expect("keypad call off")


def info_keys(host, work, record="smdr INT carol door"):
    """baresip sends its keys only as RFC 2833 events: SIPp keys 55 as SIP INFO instead."""
    scenario = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "door_info.xml")
    errors = os.path.join(work, "sipp-errors.log")
    sipp = subprocess.run(["sipp", "-sf", scenario, "-i", SERVER, "-mi", SERVER, "-p", "5070",
                           "-m", "1", "-timeout", "30", "-nostdin", "-auth_uri",
                           "door@%s:5060" % SERVER, "-trace_err", "-error_file", errors,
                           "%s:5060" % SERVER], capture_output=True, text=True, timeout=60)
    assert sipp.returncode == 0, open(errors).read()[-3000:] if os.path.exists(errors) else ""
    host.expect("relay1 on")
    host.expect("relay1 off")
    host.expect(record)


def door_pages(host):
    """The button pages a group, or calls another door's account: the door device in paging
    mode is connected at once."""
    for rule in ("paging", "keypad"):
        host.ring(rule)
        host.expect("keypad call on")
        host.send("press")
        host.expect("keypad call off")


def start_camera(host, work):
    """The door account's camera: GStreamer's RTSP server with Digest and a session timeout
    shorter than the calls; every door call from now on offers its video."""
    camera = subprocess.Popen(
        [sys.executable, os.path.join(_here, "..", "..", "rtsp", "camera.py"), "--user", "door",
         "--password", "secret", "--timeout", "2"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        text=True, env=dict(os.environ, GST_REGISTRY=os.path.join(work, "gst-registry.bin")))
    port = camera.stdout.readline().split()[-1]
    host.send("camera rtsp://%s:%s/door secret" % (SERVER, port))
    host.expect("camera 96")
    return camera


def video_offered(host, alice, work):
    """A real phone takes the door's call that offers the camera's video (it shows none)."""
    door_call(host, alice, work, hangup_by_door=False)
    with open(os.path.join(work, "log", "tarnhall-server.log"), errors="replace") as f:
        # A trace goes on in lines indented by a tab.
        sent = f.read().replace("\n\t", "\n").split("send datagram to ")
    # The phone registered a Contact user of its own: its INVITEs are told by their To.
    offers = [m for m in sent
              if re.match(r"[\d.:]+\nINVITE ", m) and re.search(r"\nTo: <sip:alice\b", m)]
    assert any("m=video" in m and "a=rtpmap:96 H264/90000" in m for m in offers), offers[-1:]


def scenarios(host, work, phones):
    alice, bob = phones
    camera = start_camera(host, work)
    video_offered(host, alice, work)
    camera.stdin.close()
    camera.wait(10)
    door_call(host, alice, work, hangup_by_door=False)
    door_call(host, bob, work, hangup_by_door=True)
    list_call(host, alice, bob, work)
    door_pages(host)
    call_door(host, alice, "door-ring", work, by_button=True)
    call_door(host, alice, "door", work, by_button=False)
    sensor_and_keypad(host, alice, bob, work)
    answered_at_once(host, alice)
    info_keys(host, work)
    transfer(host, alice, bob, work)
    door_heard = {p.name: p.dumps() for p in phones}
    carol = Linphone(work)
    phones.append(carol)
    attended_transfer(host, carol, None, bob, work)
    attended_transfer(host, carol, alice, bob, work)
    carol.stop()
    phones.remove(carol)
    for phone in phones:
        phone.stop()
    heard = {p.name: p.heard(door_heard[p.name]) for p in phones}
    print("door tone heard:", heard)
    assert all(abs(f - 700) < 50 for f in heard.values()), heard


if __name__ == "__main__":
    run("tarnhall-doorcall-", PHONES, scenarios, logs=["carol/log"])
