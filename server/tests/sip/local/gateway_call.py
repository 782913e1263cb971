#!/usr/bin/python3
"""The door panel and real phones meet through an outside server (kamailio): the panel's
button calls a phone, the phone calls the door's accounts and a group, holds and resumes,
keys the door open as RFC 2833 events and as SIP INFO; a callee that never answers fails
only its call. Runs in network namespaces as door_call.py. Usage: gateway_call.py HOST TONE.wav
KAMAILIO.cfg"""
import os, shutil, subprocess, sys, tempfile, time

os.environ["TARNHALL_GATEWAY"] = "1"
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import door_call  # noqa: E402  (sets up the server's namespace)
from door_call import SERVER, Host, Phone, answer, call_door, door_call as button_call, \
    info_keys  # noqa: E402


def kamailio(work):
    cfg = os.path.join(work, "kamailio.cfg")
    with open(sys.argv[3]) as f:
        text = f.read().replace("@PORT@", "5060").replace(
            "@MODULES@", "/usr/lib/x86_64-linux-gnu/kamailio/modules/")
    with open(cfg, "w") as f:
        f.write(text)
    log = open(os.path.join(work, "kamailio.log"), "w")
    return subprocess.Popen(["kamailio", "-f", cfg, "-DD", "-E", "-Y", work, "-m", "32",
                             "-M", "4"], stdout=log, stderr=subprocess.STDOUT)


def hold_and_resume(host, alice):
    """A call to the door put on hold and taken back: the door still opens after it."""
    alice.command("dial", "sip:door@%s" % SERVER)
    alice.wait("CALL_ESTABLISHED")
    alice.command("hold")
    alice.wait("CALL_REMOTE_SDP")
    alice.command("resume")
    alice.wait("CALL_REMOTE_SDP")
    door_call.open_door(host, alice)
    alice.command("hangup")
    alice.wait("CALL_CLOSED")
    host.expect("smdr")


def control_and_group(host, alice, work):
    """The control account answers at once and takes keys; a group pages its door."""
    for account in ("door-ctl", "group"):
        alice.command("dial", "sip:%s@%s" % (account, SERVER))
        alice.wait("CALL_ESTABLISHED")
        if account == "door-ctl":
            door_call.open_door(host, alice)
        else:
            host.send("mark")
            time.sleep(2)
            heard = door_call.panel_tone(host, os.path.join(work, "paged"))
            assert abs(heard - alice.freq) < alice.freq * 0.06, heard
        alice.command("hangup")
        alice.wait("CALL_CLOSED")
        host.expect("smdr")


def refused(host):
    """The server's 408 for a callee that never answers ends the call, not the registration;
    credentials challenged again end the call instead of an endless round of INVITEs."""
    del host.seen[:]
    for callee in ("mute", "deny"):
        host.send("rule " + callee)
        host.send("press")
        host.expect("smdr OUT door " + callee)
    host.send("account door")
    host.expect("account door registered")


def main():
    door_call.sh("ip", "link", "set", "lo", "up")
    door_call.sh("sysctl", "-qw", "net.ipv4.conf.all.route_localnet=1")
    work = tempfile.mkdtemp(prefix="tarnhall-gateway-")
    server = kamailio(work)
    host = Host(work, "alice")
    phones = []
    try:
        host.expect("registered")
        phones = [Phone("alice", work)]
        alice = phones[0]
        alice.registered()
        host.send("account door")
        host.expect("account door registered", timeout=60)
        button_call(host, alice, work, hangup_by_door=False, record="OUT")
        button_call(host, alice, work, hangup_by_door=True, record="OUT")
        call_door(host, alice, "door-ring", work, by_button=True)
        call_door(host, alice, "door", work, by_button=False)
        hold_and_resume(host, alice)
        control_and_group(host, alice, work)
        info_keys(host, work, "smdr INC carol door")
        refused(host)
        alice.stop()
        heard = alice.heard()
        assert abs(heard - 700) < 50, heard
        print("1 passed, 0 failed")
    except Exception:
        for name in ("host.log", "alice/log", "kamailio.log"):
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
        server.terminate()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


main()
