#!/usr/bin/python3
"""A simulated door panel calls real baresip phones through the system: the button calls the
account of its rule, the phone answers, a tone flows each way, the phone opens the door by
DTMF (RFC 2833 events) and either side hangs up; the calls leave their SMDR records. Runs in
network namespaces as the phone-to-phone test does. Usage: door_call.py HOST TONE.wav"""
import json, os, re, shutil, socket, subprocess, sys, tempfile, time

if os.environ.get("TARNHALL_NETNS") != "1":
    env = dict(os.environ, TARNHALL_NETNS="1")
    sys.exit(subprocess.call(["unshare", "-n", sys.executable] + sys.argv, env=env))


def sh(*args, ns=None):
    prefix = ["nsenter", "-t", str(ns), "-n"] if ns else []
    subprocess.check_call(prefix + list(args))


# The server's namespace: 127.0.0.1 alone is local, so the phones' addresses are reached
# through their veth links (127/8 routed there only with route_localnet).
sh("ip", "link", "set", "lo", "up")
sh("ip", "addr", "del", "127.0.0.1/8", "dev", "lo")
sh("ip", "addr", "add", "127.0.0.1/32", "dev", "lo")
sh("sysctl", "-qw", "net.ipv4.conf.all.route_localnet=1")

SERVER = "127.0.0.1"
PHONES = {"alice": ("127.0.0.2", 440), "bob": ("127.0.0.3", 1000)}
CONFIG = """poll_method epoll
net_interface {iface}
sip_listen {addr}:5060
audio_player alsa,null
audio_source ausine,{freq}
ausrc_srate 48000
ausrc_channels 2
auplay_srate 48000
auplay_channels 2
rtp_ports 20000-29999
module_path /usr/lib/baresip/modules
module g711.so
module g722.so
module gsm.so
module ausine.so
module alsa.so
module sndfile.so
module_app account.so
module_app menu.so
module_app ctrl_tcp.so
ctrl_tcp_listen {addr}:4444
snd_path {dir}
"""


class Phone:
    def __init__(self, name, work):
        self.name, (self.addr, self.freq) = name, PHONES[name]
        self.dir = os.path.join(work, name)
        # Each phone in a namespace of its own, joined to the server's by a veth pair.
        self.iface = "p-" + name
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "900"])
        ns = self.holder.pid
        time.sleep(0.2)
        sh("ip", "link", "add", "s-" + name, "type", "veth", "peer", "name", self.iface)
        sh("ip", "link", "set", self.iface, "netns", str(ns))
        sh("sysctl", "-qw", "net.ipv4.conf.s-%s.route_localnet=1" % name)
        sh("ip", "link", "set", "s-" + name, "up")
        sh("ip", "route", "add", self.addr + "/32", "dev", "s-" + name, "src", SERVER)
        sh("sysctl", "-qw", "net.ipv4.conf.all.route_localnet=1", ns=ns)
        sh("sysctl", "-qw", "net.ipv4.conf.%s.route_localnet=1" % self.iface, ns=ns)
        sh("ip", "addr", "add", self.addr + "/32", "dev", self.iface, ns=ns)
        sh("ip", "link", "set", self.iface, "up", ns=ns)
        sh("ip", "route", "add", SERVER + "/32", "dev", self.iface, "src", self.addr, ns=ns)
        os.makedirs(self.dir)
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write(CONFIG.format(addr=self.addr, freq=self.freq, dir=self.dir, iface=self.iface))
        with open(os.path.join(self.dir, "accounts"), "w") as f:
            f.write("<sip:%s@%s:5060>;auth_pass=pw-%s;regint=60;audio_codecs=PCMA,PCMU\n"
                    % (name, SERVER, name))
        self.log = open(os.path.join(self.dir, "log"), "w")
        self.proc = subprocess.Popen(["nsenter", "-t", str(ns), "-n", "baresip", "-f", self.dir], stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.buf = b""
        self.sock = None
        deadline = time.monotonic() + 20
        while self.sock is None:
            try:
                self.sock = socket.create_connection((self.addr, 4444), timeout=1)
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.sock.settimeout(30)

    def command(self, cmd, params=""):
        data = json.dumps({"command": cmd, "params": params, "token": cmd}).encode()
        self.sock.sendall(b"%d:%s," % (len(data), data))

    def registered(self):
        """Asks until the phone reports its registration (it may be done before we listen)."""
        for _ in range(100):
            self.command("reginfo")
            if "OK" in self.wait(None, response="reginfo"):
                return
            time.sleep(0.2)
        raise RuntimeError("%s did not register" % self.name)

    def wait(self, event, response=None):
        """Reads events until one of this type (or the response to a command, whose data is
        returned); the events seen meanwhile are returned."""
        seen = []
        while True:
            while b":" not in self.buf or len(self.buf) < self.buf.index(b":") + 1 + \
                    int(self.buf[:self.buf.index(b":")]) + 1:
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise RuntimeError("%s closed its control socket waiting for %s: %s"
                                       % (self.name, event, seen))
                self.buf += chunk
            n = self.buf.index(b":")
            size = int(self.buf[:n])
            message = json.loads(self.buf[n + 1:n + 1 + size])
            self.buf = self.buf[n + 2 + size:]
            if response and message.get("response") and message.get("token") == response:
                return message.get("data", "")
            if message.get("event"):
                seen.append(message.get("type"))
                if message.get("type") == event:
                    return seen

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        self.holder.kill()
        self.holder.wait()


def dominant_frequency(path):
    out = subprocess.run(["sox", path, "-n", "remix", "1", "stat", "-freq"],
                         capture_output=True, text=True).stderr
    peak = max((tuple(map(float, line.split()[:2])) for line in out.splitlines()
                if re.match(r"^\s*[0-9.]+\s+[0-9.]+\s*$", line)), key=lambda p: p[1])
    return peak[0]


def decoded_tone(phone):
    files = [f for f in os.listdir(phone.dir) if f.startswith("dump-") and "-dec" in f]
    assert files, "%s recorded nothing" % phone.name
    path = os.path.join(phone.dir, max(files, key=lambda f: os.path.getsize(os.path.join(phone.dir, f))))
    return dominant_frequency(path)



class Host:
    """The door side and the server: lines in, lines out (read by a thread of its own)."""

    def __init__(self, work, rule):
        import threading, queue
        self.lines = queue.Queue()
        self.log = open(os.path.join(work, "host.log"), "w")
        self.proc = subprocess.Popen([sys.argv[1], SERVER, "5060", rule, sys.argv[2]],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

        def read():
            for line in self.proc.stdout:
                self.log.write(line)
                self.log.flush()
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
    return dominant_frequency(wav)


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


def sensor_and_keypad(host, alice, bob, work):
    host.send("sensor1")
    host.expect("smdr S1O 1 1")
    answer(host, bob, work)
    host.send("sensor1")
    bob.wait("CALL_CLOSED")
    for key in (1, 3):
        host.send("key %d" % key)
    host.expect("smdr BTO 2 1")
    host.expect("smdr BTO 2 3")
    bob.wait("CALL_INCOMING")
    bob.command("hangup")
    bob.wait("CALL_CLOSED")


def transfer(host, alice, bob, work):
    """The phone that took the door's call hands it on to another phone (blind REFER)."""
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


def wiretap(alice):
    """A listening-in account is answered at once."""
    alice.command("dial", "sip:door-tap@%s" % SERVER)
    alice.wait("CALL_ESTABLISHED")
    alice.command("hangup")
    alice.wait("CALL_CLOSED")


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


def main():
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
        call_door(host, alice, "door-ring", work, by_button=True)
        call_door(host, alice, "door", work, by_button=False)
        sensor_and_keypad(host, alice, bob, work)
        wiretap(alice)
        info_keys(host, work)
        transfer(host, alice, bob, work)
        for phone in phones:
            phone.stop()
        heard = {p.name: decoded_tone(p) for p in phones}
        print("door tone heard:", heard)
        assert all(abs(f - 700) < 50 for f in heard.values()), heard
        print("1 passed, 0 failed")
    except Exception:
        for name in ["host.log"] + [p + "/log" for p in PHONES]:
            path = os.path.join(work, name)
            if os.path.exists(path):
                print("=====", name)
                print(open(path, errors="replace").read()[-8000:])
        raise
    finally:
        for phone in phones:
            if phone.proc.poll() is None:
                phone.stop()
        host.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
