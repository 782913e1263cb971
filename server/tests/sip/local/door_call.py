#!/usr/bin/python3
"""A simulated door panel and real baresip phones through the system: the button calls one
phone, a list (the first answer wins) and a paging group; a tone flows each way; the phones
key the door open and shut by RFC 2833 events (SIPp by SIP INFO, which baresip cannot send);
either side hangs up; phones ring the door (answered by its button, at once, listening in),
key it on its control account and page a group;
a sensor and the keypad place calls; a phone hands the door's call on by REFER; every call
and event leaves its SMDR record. Runs in network namespaces as the phone-to-phone test
does. Usage: door_call.py HOST TONE.wav"""
import os, subprocess, sys, time

# The network namespaces, the baresip phones and the tone measurement are the phone-to-phone
# test's own: run its set-up part here (it re-runs this script in a namespace of its own).
_here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(_here, "baresip_call.py")) as _f:
    _source = _f.read()
exec(_source[_source.index("import json"):_source.index("def call(")])

LINPHONE = """[sip]
sip_port=5060
sip_tcp_port=-1
sip_tls_port=-1
use_ipv6=0
default_proxy=0
[proxy_0]
reg_proxy=<sip:{server};transport=udp>
reg_identity=sip:carol@{server}
reg_expires=60
reg_sendregister=1
[auth_info_0]
username=carol
passwd=pw-carol
[net]
firewall_policy=0
"""


class Linphone:
    """linphonec as the phone "carol": it transfers attended (REFER with Replaces)."""

    def __init__(self, work, addr="127.0.0.4"):
        import threading, queue
        self.dir = os.path.join(work, "carol")
        os.makedirs(os.path.join(self.dir, ".local", "share", "linphone"))
        self.holder = namespace("carol", addr)
        # Its own address is found by a route out: the default one leads to the server.
        sh("ip", "route", "add", "default", "dev", "p-carol", "src", addr, ns=self.holder.pid)
        with open(os.path.join(self.dir, "rc"), "w") as f:
            f.write(LINPHONE.format(server=SERVER))
        self.lines, self.log = queue.Queue(), open(os.path.join(self.dir, "log"), "w")
        self.proc = subprocess.Popen(
            ["nsenter", "-t", str(self.holder.pid), "-n", "stdbuf", "-oL", "linphonec", "-S", "-c",
             os.path.join(self.dir, "rc")], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, cwd=self.dir, env=dict(os.environ, HOME=self.dir))

        def read():
            for line in self.proc.stdout:
                self.log.write(line)
                self.log.flush()
                self.lines.put(line)
        threading.Thread(target=read, daemon=True).start()
        self.command("soundcard use files")
        # Its registration is told only when asked.
        for _ in range(60):
            self.command("status register")
            if self.wait(r"registered(, identity|=)").group(1) != "=":
                return
            time.sleep(0.5)
        raise AssertionError("carol did not register")

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait(self, pattern, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            line = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            found = re.search(pattern, line)
            if found:
                return found

    def call(self, uri):
        """The id linphonec gives the call, once it is connected."""
        self.command("call " + uri)
        number = self.wait(r"assigned id (\d+)").group(1)
        self.wait(r"Call %s .*connected" % number)
        return number

    def stop(self):
        if self.log.closed:
            return
        self.log.flush()
        # What the server answered must parse, its registration's Contact included.
        with open(self.log.name) as f:
            broken = [line for line in f if "parser error" in line]
        if self.proc.poll() is None:
            self.command("quit")
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.holder.kill()
        self.holder.wait()
        self.log.close()
        assert not broken, broken


class Host:
    """The door side and the server: lines in, lines out (read by a thread of its own)."""

    def __init__(self, work, rule):
        import threading, queue
        self.lines = queue.Queue()
        # The door's last word on whether it takes a call, kept apart from the other lines.
        self.busy, self.changed = False, threading.Condition()
        self.log = open(os.path.join(work, "host.log"), "w")
        self.proc = subprocess.Popen([sys.argv[1], SERVER, "5060", rule, sys.argv[2]],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

        def read():
            for line in self.proc.stdout:
                self.log.write(line)
                self.log.flush()
                if line.strip() in ("door busy", "door free"):
                    with self.changed:
                        self.busy = line.strip() == "door busy"
                        self.changed.notify_all()
                else:
                    self.lines.put(line.strip())
        threading.Thread(target=read, daemon=True).start()
        self.seen = []

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def expect(self, text, timeout=30):
        import queue
        deadline = time.monotonic() + timeout
        while True:
            for line in self.seen:
                if line.startswith(text):
                    self.seen.remove(line)
                    return line
            try:
                self.seen.append(self.lines.get(timeout=max(0.1, deadline - time.monotonic())))
            except queue.Empty:
                raise RuntimeError("host never said %r; seen %s" % (text, self.seen))

    def free(self, timeout=30):
        """Waits until the door takes calls again: a phone's hang-up reaches it a moment later."""
        with self.changed:
            assert self.changed.wait_for(lambda: not self.busy, timeout), "the door stayed busy"

    def stop(self):
        if self.proc.poll() is None:
            self.send("quit")
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def panel_tone(host, path):
    host.send("dump " + path)
    host.expect("dumped")
    wav = path + ".wav"
    subprocess.check_call(["sox", "-t", "raw", "-r", "8000", "-e", "unsigned", "-b", "8", "-c",
                           "1", path, wav])
    out = subprocess.run(["sox", wav, "-n", "stat", "-freq"], capture_output=True,
                         text=True).stderr
    peaks = [tuple(map(float, l.split())) for l in out.splitlines()
             if re.match(r"^\s*[0-9.]+\s+[0-9.]+\s*$", l)]
    return max(peaks, key=lambda p: p[1])[0]


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
    host.send("mark")
    time.sleep(2)
    heard = panel_tone(host, os.path.join(work, "panel-" + phone.name))
    assert abs(heard - phone.freq) < phone.freq * 0.06, (phone.name, heard)


def door_call(host, phone, work, hangup_by_door, record="INT"):
    host.free()
    host.send("rule " + phone.name)
    host.send("press")
    answer(host, phone, work)
    open_door(host, phone)
    if hangup_by_door:
        host.send("press")
    else:
        phone.command("hangup")
    phone.wait("CALL_CLOSED")
    host.expect("smdr %s door %s" % (record, phone.name))


def list_call(host, alice, bob, work):
    """Both ring; the first to answer wins and the other stops ringing."""
    host.free()
    host.send("rule alice,bob")
    host.send("press")
    bob.wait("CALL_INCOMING")
    answer(host, alice, work)
    bob.wait("CALL_CLOSED")
    alice.command("hangup")
    alice.wait("CALL_CLOSED")
    host.expect("smdr INT door alice")


def call_door(host, phone, account, work, by_button):
    """The phone calls the door: rung until its button answers, or answered at once."""
    phone.command("dial", "sip:%s@%s" % (account, SERVER))
    if by_button:
        phone.wait("CALL_RINGING")
        host.send("press")
    phone.wait("CALL_ESTABLISHED")
    open_door(host, phone)
    if by_button:
        phone.command("hangup")
    else:
        host.send("press")
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
    bob.command("hangup")
    bob.wait("CALL_CLOSED")


def transfer(host, alice, bob, work):
    """The phone that took the door's call hands it on to another phone (blind REFER)."""
    host.free()
    host.send("rule alice")
    host.send("press")
    answer(host, alice, work)
    alice.command("transfer", "sip:bob@%s" % SERVER)
    answer(host, bob, work)
    alice.wait("CALL_CLOSED")
    open_door(host, bob)
    bob.command("hangup")
    bob.wait("CALL_CLOSED")
    host.expect("smdr INT door")


def attended_transfer(host, carol, first, bob, work):
    """carol holds a call with the door (first is None) or a phone, calls bob, then joins the
    two (REFER with Replaces): her calls end and her first party talks with bob."""
    if first is None:
        one = carol.call("sip:door@" + SERVER)
    else:
        carol.command("call sip:%s@%s" % (first.name, SERVER))
        first.wait("CALL_INCOMING")
        first.command("accept")
        one = carol.wait(r"assigned id (\d+)").group(1)
        carol.wait(r"Call %s .*connected" % one)
    carol.command("pause " + one)
    carol.wait(r"Call %s .*paused" % one)
    carol.command("call sip:bob@" + SERVER)
    two = carol.wait(r"assigned id (\d+)").group(1)
    bob.wait("CALL_INCOMING")
    bob.command("accept")
    carol.wait(r"Call %s .*connected" % two)
    carol.command("transfer %s --to-call %s" % (one, two))
    for number in (one, two):
        carol.wait(r"Call %s .*(ended|terminated)" % number)
    if first is None:
        host.send("mark")
        time.sleep(2)
        heard = panel_tone(host, os.path.join(work, "panel-transferred"))
        assert abs(heard - bob.freq) < bob.freq * 0.06, heard
        open_door(host, bob)
        bob.command("hangup")
        bob.wait("CALL_CLOSED")
        host.expect("smdr")
        host.free()
    else:
        # The phone was offered bob's media in its own dialog: it hears bob, its key reaches
        # him, and his hang-up ends its call.
        first.wait("CALL_REMOTE_SDP")
        first.command("sndcode", "5")
        bob.wait("CALL_DTMF_START")
        time.sleep(2)
        bob.command("hangup")
        first.wait("CALL_CLOSED")
        bob.wait("CALL_CLOSED")
        heard = first.heard(first.dumps()[-1:])
        assert abs(heard - bob.freq) < bob.freq * 0.06, heard


def wiretap(alice):
    """A listening-in account is answered at once."""
    alice.command("dial", "sip:door-tap@%s" % SERVER)
    alice.wait("CALL_ESTABLISHED")
    alice.command("hangup")
    alice.wait("CALL_CLOSED")


def control_and_group(host, phone):
    """A control account is answered at once and takes keys; a group pages its door device."""
    phone.command("dial", "sip:door-ctl@%s" % SERVER)
    phone.wait("CALL_ESTABLISHED")
    open_door(host, phone)
    phone.command("hangup")
    phone.wait("CALL_CLOSED")
    phone.command("dial", "sip:paging@%s" % SERVER)
    phone.wait("CALL_ESTABLISHED")
    host.expect("keypad call on")
    phone.command("hangup")
    phone.wait("CALL_CLOSED")
    host.expect("keypad call off")


def info_keys(host, work, record="smdr INT door carol"):
    """baresip sends its keys only as RFC 2833 events: SIPp keys 55 as SIP INFO instead."""
    scenario = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "door_info.xml")
    errors = os.path.join(work, "sipp-errors.log")
    sipp = subprocess.run(["sipp", "-sf", scenario, "-i", SERVER, "-mi", SERVER, "-p", "5070",
                           "-m", "1", "-timeout", "30", "-nostdin", "-auth_uri", "door@%s:5060" % SERVER, "-trace_err", "-error_file",
                           errors, "%s:5060" % SERVER], capture_output=True, text=True, timeout=60)
    assert sipp.returncode == 0, open(errors).read()[-3000:] if os.path.exists(errors) else ""
    host.expect("relay1 on")
    host.expect("relay1 off")
    host.expect(record)


def door_to_door(host):
    """The button calls another door's account; in paging mode it is connected at once."""
    host.free()
    host.send("rule keypad")
    host.send("press")
    host.expect("keypad call on")
    host.send("press")
    host.expect("keypad call off")


def paging(host):
    """The button pages a group: its door device in paging mode is connected at once."""
    host.free()
    host.send("rule paging")
    host.send("press")
    host.expect("keypad call on")
    host.send("press")
    host.expect("keypad call off")


def main():
    sh("ip", "link", "set", "lo", "up")
    sh("sysctl", "-qw", "net.ipv4.conf.all.route_localnet=1")
    work = tempfile.mkdtemp(prefix="tarnhall-doorcall-")
    host = Host(work, "alice")
    phones = []
    try:
        host.expect("registered")
        phones = [Phone(name, work) for name in PHONES]
        alice, bob = phones
        for phone in phones:
            phone.registered()
        door_call(host, alice, work, hangup_by_door=False)
        door_call(host, bob, work, hangup_by_door=True)
        list_call(host, alice, bob, work)
        paging(host)
        door_to_door(host)
        call_door(host, alice, "door-ring", work, by_button=True)
        call_door(host, alice, "door", work, by_button=False)
        sensor_and_keypad(host, alice, bob, work)
        wiretap(alice)
        control_and_group(host, alice)
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
        print("1 passed, 0 failed")
    except Exception:
        for name in ["host.log", "carol/log"] + [p + "/log" for p in PHONES]:
            path = os.path.join(work, name)
            if os.path.exists(path):
                print("=====", name)
                print(open(path, errors="replace").read()[-8000:])
        raise
    finally:
        for phone in phones:
            if phone.holder.poll() is None:
                phone.stop()
        host.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
