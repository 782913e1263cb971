#!/usr/bin/python3
"""Two baresip phones register with the local SIP server by digest and call each other through
it: a tone from each side must arrive at the other, through hold and resume, DTMF reaches the
other phone as INFO, and either side can hang up. Runs in a network namespace of its own (only
loopback), so every address and SDP body stays on 127.0.0.0/8. Usage: baresip_call.py SERVER"""
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


def call(caller, callee, hangup_by):
    caller.command("dial", "sip:%s@%s" % (callee.name, SERVER))
    callee.wait("CALL_INCOMING")
    callee.command("accept")
    caller.wait("CALL_ESTABLISHED")
    callee.wait("CALL_ESTABLISHED")
    time.sleep(2)
    caller.command("hold")
    time.sleep(1)
    caller.command("resume")
    time.sleep(2)
    caller.command("sndcode", "5")
    assert "CALL_DTMF_START" in callee.wait("CALL_DTMF_START")
    hangup_by.command("hangup")
    caller.wait("CALL_CLOSED")
    callee.wait("CALL_CLOSED")


def main():
    work = tempfile.mkdtemp(prefix="tarnhall-baresip-")
    server = subprocess.Popen([sys.argv[1], SERVER, "5060", "trace"],
                              stdout=open(os.path.join(work, "server.log"), "w"),
                              stderr=subprocess.STDOUT)
    phones = []
    try:
        time.sleep(0.5)
        phones = [Phone(name, work) for name in PHONES]
        alice, bob = phones
        for phone in phones:
            phone.registered()
        call(alice, bob, hangup_by=bob)
        call(bob, alice, hangup_by=bob)
        for phone in phones:
            phone.stop()
        heard = {p.name: decoded_tone(p) for p in phones}
        print("tones heard:", heard)
        assert abs(heard["bob"] - 440) < 40, heard
        assert abs(heard["alice"] - 1000) < 60, heard
        print("1 passed, 0 failed")
    except Exception:
        for name in ["server.log"] + [p + "/log" for p in PHONES]:
            path = os.path.join(work, name)
            if os.path.exists(path):
                print("=====", name)
                print(open(path, errors="replace").read()[-6000:])
        raise
    finally:
        for phone in phones:
            if phone.proc.poll() is None:
                phone.stop()
        server.terminate()
        server.wait(20)
        shutil.rmtree(work, ignore_errors=True)


main()
