#!/usr/bin/python3
"""Two baresip phones register with the local SIP server by digest and call each other through
it: each side's tone reaches the other through hold and resume, a DTMF key reaches the other
phone, and the callee and the caller hang up. The server (the door side's host) runs in a
network namespace of its own and each phone in another, joined by veth links: every address
and SDP body is in 127.0.0.0/8.
Usage (root): baresip_call.py DOORCALLHOST TONE.wav"""
import json, os, queue, re, shutil, subprocess, sys, tempfile, threading, time

if os.environ.get("TARNHALL_NETNS") != "1":
    sys.exit(subprocess.call(["unshare", "-n", sys.executable] + sys.argv,
                             env=dict(os.environ, TARNHALL_NETNS="1")))
import socket

SERVER = "127.0.0.1"
PHONES = {"alice": ("127.0.0.2", 440), "bob": ("127.0.0.3", 1000)}
CONFIG = """net_interface p-{name}
sip_listen {addr}:5060
audio_player alsa,null
audio_source ausine,{freq}
ausrc_srate 48000
ausrc_channels 2
module_path /usr/lib/baresip/modules
""" + "".join("module %s.so\n" % m for m in ("g711", "g722", "gsm", "ausine", "alsa", "sndfile")) \
    + "".join("module_app %s.so\n" % m for m in ("account", "menu", "ctrl_tcp")) + """\
ctrl_tcp_listen {addr}:4444
snd_path {dir}
"""


def sh(*args, ns=None):
    subprocess.check_call((["nsenter", "-t", str(ns), "-n"] if ns else []) + list(args))


sh("ip", "link", "set", "lo", "up")
sh("sysctl", "-qw", "net.ipv4.conf.all.route_localnet=1")


def peak(*args):
    """The dominant frequency of the sound sox reads with these arguments."""
    out = subprocess.run(["sox"] + list(args) + ["-n", "remix", "1", "stat", "-freq"],
                         capture_output=True, text=True).stderr
    peaks = [tuple(map(float, l.split())) for l in out.splitlines()
             if re.match(r"^\s*[0-9.]+\s+[0-9.]+\s*$", l)]
    return max(peaks, key=lambda p: p[1])[0]


def namespace(name, addr):
    """A network namespace of the phone's own, joined to the server's by a veth link."""
    # It says when its namespace is there: before, the link would go to the server's.
    holder = subprocess.Popen(["unshare", "-n", "sh", "-c", "echo; exec sleep 900"],
                              stdout=subprocess.PIPE)
    holder.stdout.readline()
    ns = holder.pid
    # 127/8 crosses the link only with route_localnet; the phone's loopback stays down, so
    # 127.0.0.1 is the server there.
    sh("ip", "link", "add", "s-" + name, "type", "veth", "peer", "name", "p-" + name)
    sh("ip", "link", "set", "p-" + name, "netns", str(ns))
    sh("sysctl", "-qw", "net.ipv4.conf.s-%s.route_localnet=1" % name)
    sh("ip", "link", "set", "s-" + name, "up")
    sh("ip", "route", "add", addr + "/32", "dev", "s-" + name, "src", SERVER)
    for key in ("all", "p-" + name):
        sh("sysctl", "-qw", "net.ipv4.conf.%s.route_localnet=1" % key, ns=ns)
    sh("ip", "addr", "add", addr + "/32", "dev", "p-" + name, ns=ns)
    sh("ip", "link", "set", "p-" + name, "up", ns=ns)
    sh("ip", "route", "add", SERVER + "/32", "dev", "p-" + name, "src", addr, ns=ns)
    return holder


class Phone:
    def __init__(self, name, work):
        self.name, (self.addr, self.freq) = name, PHONES[name]
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir)
        self.holder = namespace(name, self.addr)
        with open(os.path.join(self.dir, "config"), "w") as f:
            f.write(CONFIG.format(name=name, addr=self.addr, freq=self.freq, dir=self.dir))
        with open(os.path.join(self.dir, "accounts"), "w") as f:
            f.write("<sip:%s@%s>;auth_pass=pw-%s;regint=60\n" % (name, SERVER, name))
        self.log = open(os.path.join(self.dir, "log"), "w")
        self.proc = subprocess.Popen(["nsenter", "-t", str(self.holder.pid), "-n", "baresip", "-f", self.dir],
                                     stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        self.buf, self.sock = b"", None
        for _ in range(100):
            try:
                self.sock = socket.create_connection((self.addr, 4444), timeout=30)
                break
            except OSError:
                time.sleep(0.2)

    def dial(self, account):
        self.command("dial", "sip:%s@%s" % (account, SERVER))

    def hangup(self):
        self.command("hangup")
        self.wait("CALL_CLOSED")

    def command(self, cmd, params=""):
        data = json.dumps({"command": cmd, "params": params, "token": cmd}).encode()
        self.sock.sendall(b"%d:%s," % (len(data), data))

    def wait(self, event, response=None):
        """The data of the response to a command, or the events read up to one of this type."""
        seen = []
        while True:
            while b":" not in self.buf or len(self.buf) <= self.buf.index(b":") + 1 + int(
                    self.buf[:self.buf.index(b":")]):
                chunk = self.sock.recv(4096)
                assert chunk, "%s hung up waiting for %s after %s" % (self.name, event, seen)
                self.buf += chunk
            n = self.buf.index(b":")
            size = int(self.buf[:n])
            message, self.buf = json.loads(self.buf[n + 1:n + 1 + size]), self.buf[n + 2 + size:]
            if response and message.get("response") and message.get("token") == response:
                return message.get("data", "")
            if message.get("event"):
                seen.append(message.get("type"))
                if message.get("type") == event:
                    return seen
                # A call that ends (busy, refused) brings no other event: say so at once.
                assert not event or message.get("type") != "CALL_CLOSED", \
                    "%s waiting for %s: call closed (%s) after %s" % (
                        self.name, event, message.get("param", ""), seen)

    def registered(self):
        # Asked, not awaited: the registration may be over before the control socket is open.
        for _ in range(100):
            self.command("reginfo")
            if "OK" in self.wait(None, response="reginfo"):
                return
            time.sleep(0.2)
        raise AssertionError("%s did not register" % self.name)

    def stop(self):
        for proc in (self.proc, self.holder):
            proc.kill()
            proc.wait()
        self.log.close()

    def dumps(self):
        """What the phone decoded, a file a call, oldest first."""
        return sorted(os.path.join(self.dir, f) for f in os.listdir(self.dir)
                      if f.endswith("dec.wav"))

    def heard(self, dumps=None):
        """The dominant frequency of what the phone decoded, over all its calls by default."""
        return peak(*(dumps or self.dumps()))


class Piped:
    """A process driven by lines on its stdin; a thread of its own logs its output and hands
    each line to take."""

    def start(self, argv, log, **options):
        self.log = open(log, "w")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, **options)

        def read():
            for line in self.proc.stdout:
                self.log.write(line)
                self.log.flush()
                self.take(line)
        threading.Thread(target=read, daemon=True).start()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self, timeout=20):
        if self.proc.poll() is None:
            self.send("quit")
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


class Host(Piped):
    """The door side and the server, driven by lines (doorcallhost.cpp)."""

    def __init__(self, work):
        self.lines, self.seen = queue.Queue(), []
        # The door's last word on whether it takes a call, kept apart from the other lines.
        self.busy, self.changed = False, threading.Condition()
        # A folder of its own: the host keeps its settings beside its binary, and the tests that
        # run it go side by side.
        binary = os.path.join(work, "bin", os.path.basename(sys.argv[1]))
        os.makedirs(os.path.dirname(binary))
        try:
            os.link(sys.argv[1], binary)
        except OSError:
            shutil.copy2(sys.argv[1], binary)
        self.start([binary, SERVER, "5060", "alice", sys.argv[2]], os.path.join(work, "host.log"))

    def take(self, line):
        line = line.strip()
        if line in ("door busy", "door free"):
            with self.changed:
                self.busy = line == "door busy"
                self.changed.notify_all()
        else:
            self.lines.put(line)

    def expect(self, text, timeout=30):
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

    def registered(self, account, timeout=60):
        """Asks until the account is registered: each answer tells only that moment."""
        deadline = time.monotonic() + timeout
        while True:
            self.send("account " + account)
            if self.expect("account " + account).endswith(" registered"):
                return
            assert time.monotonic() < deadline, account + " never registered"
            time.sleep(0.5)

    def free(self, timeout=30):
        """Waits until the door takes calls again: a phone's hang-up reaches it a moment later."""
        with self.changed:
            assert self.changed.wait_for(lambda: not self.busy, timeout), "the door stayed busy"

    def ring(self, rule):
        """The button, once the door is free, calls the callees of rule."""
        self.free()
        self.send("rule " + rule)
        self.send("press")


def threading_warnings(log):
    """Qt's warnings about an object used from a thread it does not live in: faults."""
    pattern = re.compile(r"(another|different) thread|not the object's thread"
                         r"|threads started with QThread")
    with open(log, errors="replace") as f:
        return [line.strip() for line in f if pattern.search(line)]


def run(prefix, names, scenarios, server=lambda work: None, logs=()):
    """scenarios(host, work, phones) with the door side up, the phones of names registered (and
    an outside server); the logs are shown when it fails."""
    work = tempfile.mkdtemp(prefix=prefix)
    outside, host, phones = server(work), Host(work), []
    try:
        host.expect("registered")
        phones += [Phone(name, work) for name in names]
        for phone in phones:
            phone.registered()
        scenarios(host, work, phones)
        host.stop()
        warnings = threading_warnings(os.path.join(work, "log", "tarnhall-server.log"))
        assert not warnings, "threading warnings in the server's log: %s" % warnings
        print("1 passed, 0 failed")
    except Exception:
        shown = ["host.log", "log/tarnhall-server.log"] + [n + "/log" for n in names]
        for name in shown + list(logs):
            if os.path.exists(path := os.path.join(work, name)):
                print("=====", name, open(path, errors="replace").read()[-8000:], sep="\n")
        raise
    finally:
        for phone in phones:
            if phone.holder.poll() is None:
                phone.stop()
        host.stop()
        if outside:
            outside.terminate()
            outside.wait()
        shutil.rmtree(work, ignore_errors=True)


def call(caller, callee, hangup_by):
    caller.dial(callee.name)
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
    callee.wait("CALL_DTMF_START")
    hangup_by.hangup()
    (callee if hangup_by is caller else caller).wait("CALL_CLOSED")


def scenarios(host, work, phones):
    alice, bob = phones
    call(alice, bob, hangup_by=bob)
    call(bob, alice, hangup_by=bob)
    for phone in phones:
        phone.stop()
    heard = {p.name: p.heard() for p in phones}
    print("tones heard:", heard)
    assert abs(heard["bob"] - 440) < 40 and abs(heard["alice"] - 1000) < 60, heard


# The door side's host is the server: its panel takes no part here.
run("tarnhall-baresip-", PHONES, scenarios)
