#!/usr/bin/python3
"""The door panel and real phones meet through an outside server (kamailio): the panel's button
calls a phone, the phone calls the door's accounts and a group, holds and resumes, keys the door
open as RFC 2833 events and as SIP INFO; a callee that never answers fails only its call; a
restart of the modules cancels a ringing call.
Usage: gateway_call.py HOST TONE.wav KAMAILIO.cfg"""
import os, subprocess, sys

os.environ["TARNHALL_GATEWAY"] = "1"
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from door_call import call_door, dial_door, door_call, door_hears, info_keys, \
    open_door, run  # noqa: E402  (sets up the server's namespace)


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
    for command in ("hold", "resume"):
        alice.command(command)
        alice.wait("CALL_REMOTE_SDP")
    open_door(host, alice)


def refused(host):
    """The server's 408 for a callee that never answers ends the call, not the registration;
    credentials challenged again end the call instead of an endless round of INVITEs."""
    del host.seen[:]
    for callee in ("mute", "deny"):
        host.ring(callee)
        host.expect("smdr OUT door " + callee)
    host.registered("door")


def restart_while_ringing(host, alice):
    """A save restarts the modules while the door's call rings alice: the service cancels it
    (the server's own INVITE timer would take two minutes), the call leaves its record, and the
    door calls her again once it is back."""
    host.ring("alice")
    alice.wait("CALL_INCOMING")
    host.send("restart")
    alice.wait("CALL_CLOSED")
    host.expect("smdr OUT door alice")
    host.expect("restarted")
    host.registered("door")
    host.ring("alice")
    alice.wait("CALL_INCOMING")
    alice.command("accept")
    alice.wait("CALL_ESTABLISHED")
    alice.hangup()
    host.expect("smdr OUT door alice")


def scenarios(host, work, phones):
    alice = phones[0]
    host.registered("door")
    door_call(host, alice, work, hangup_by_door=False, record="OUT")
    door_call(host, alice, work, hangup_by_door=True, record="OUT")
    call_door(host, alice, "door-ring", work, by_button=True)
    call_door(host, alice, "door", work, by_button=False)
    for account, then in (("door", lambda: hold_and_resume(host, alice)),
                          ("door-ctl", lambda: open_door(host, alice)),
                          ("group", lambda: door_hears(host, alice, work, "paged"))):
        dial_door(alice, account, then)
        host.expect("smdr")
    info_keys(host, work, "smdr INC carol door")
    refused(host)
    restart_while_ringing(host, alice)
    alice.stop()
    assert abs((heard := alice.heard()) - 700) < 50, heard


run("tarnhall-gateway-", ["alice"], scenarios, kamailio, ["kamailio.log"])
