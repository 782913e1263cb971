#!/usr/bin/python3
# A door camera on loopback: GStreamer's RTSP server with an H.264 test pattern at /door.
# Prints "PORT <n>" once it listens, "EVT CONNECT" per connection and "REQ <method>" per request
# it takes (one refused for its credentials is not told); ends when stdin closes.
import argparse
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--timeout", type=int, default=0)
parser.add_argument("--user")
parser.add_argument("--password")
# GStreamer's RTSP server does not answer a PLAY after PAUSE of a live source; a source paced by
# the sink's clock plays again.
parser.add_argument("--pausable", action="store_true")
args = parser.parse_args()

Gst.init(None)
server = GstRtspServer.RTSPServer(address="127.0.0.1", service="0")
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch("( videotestsrc is-live=%s ! video/x-raw,width=160,height=120,framerate=15/1 "
                   "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15 "
                   "! rtph264pay name=pay0 pt=96 config-interval=1 )"
                   % ("false" if args.pausable else "true"))
if args.user:
    auth = GstRtspServer.RTSPAuth()
    auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
    auth.set_realm("Door Cam, Inc")
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "door")
    auth.add_digest(args.user, args.password, token)
    server.set_auth(auth)
    permissions = GstRtspServer.RTSPPermissions()
    permissions.add_role_from_structure(Gst.Structure.from_string(
        "door, media.factory.access=(boolean)true, media.factory.construct=(boolean)true")[0])
    factory.set_permissions(permissions)
server.get_mount_points().add_factory("/door", factory)


def on_client(_server, client):
    print("EVT CONNECT", flush=True)
    for name in ["options", "describe", "setup", "play", "pause", "teardown", "get-parameter"]:
        method = name.upper().replace("-", "_")
        client.connect(name + "-request", lambda _c, _x, m=method: print("REQ " + m, flush=True))
    if args.timeout:
        client.connect("new-session", lambda _c, session: session.set_timeout(args.timeout))


server.connect("client-connected", on_client)
server.attach(None)
# The server leaves expiring sessions to its user; a camera drops them on time.
pool = server.get_session_pool()
GLib.timeout_add(200, lambda: pool.cleanup() >= 0)
print("PORT %d" % server.get_bound_port(), flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, lambda *_: loop.quit())
loop.run()
