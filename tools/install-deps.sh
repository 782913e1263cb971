#!/bin/bash
# Installs the Debian packages the build ("run") or the build and its tests ("test") need,
# touching apt only when something is missing.
set -euo pipefail

runtime=(cmake g++ ninja-build pkg-config qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins
         libmpg123-dev libsamplerate0-dev libspandsp-dev libhttp-parser-dev)
# text2pcap comes with wireshark-common; libFuzzer's runtime is only a recommendation of clang;
# the service tests run the binary under unshare and mount, their helpers under /usr/bin/python3;
# the camera tests run GStreamer's RTSP server with an H.264 test pattern; the web tests log in
# with curl and drive headless chromium over python3-websocket; wrk loads it.
testing=(clang libclang-rt-14-dev socat sox libsox-fmt-all ffmpeg espeak-ng lame tshark
         wireshark-common sip-tester libbenchmark-dev libosip2-dev util-linux mount procps iproute2
         python3 sipsak baresip-core kamailio coturn curl chromium python3-websocket wrk
         gir1.2-gst-rtsp-server-1.0 python3-gi gstreamer1.0-plugins-base gstreamer1.0-plugins-good
         gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad linphone-cli)

wanted=("${runtime[@]}")
if [ "${1:-run}" = "test" ]; then
    wanted+=("${testing[@]}")
fi

missing=()
for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
