#!/bin/sh
# sandbox.sh ROOT COMMAND...
# Runs COMMAND in a private mount namespace in which /run (and so /var/run) is ROOT/run and
# /etc/tarnhall-server is ROOT/etc, so the service's fixed paths never touch the machine's own,
# and in a network namespace of its own with only loopback, so the service's default ports
# (SIP, panels, web) neither clash with other tests nor reach any network.
# Several sandboxes on one ROOT see the same files, as the service and its controller must.
# With TARNHALL_SANDBOX_NETWORK=shared the network namespace is the caller's: a test that made
# one of its own runs the service's peers there.
set -e
root=$1
shift
mkdir -p "$root/run" "$root/etc" "$root/ovl.$$"
network=-n
[ "$TARNHALL_SANDBOX_NETWORK" = shared ] && network=
exec unshare -m $network --propagation private /bin/sh -c '
    set -e
    [ "$TARNHALL_SANDBOX_NETWORK" = shared ] || ip link set lo up
    root=$1; ovl=$2; shift 2
    mount --bind "$root/run" /run
    # /etc stays readable (loader cache, users); only our folder in it is replaced.
    mount -t tmpfs tmpfs "$ovl"
    mkdir "$ovl/upper" "$ovl/work"
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$ovl/upper,workdir=$ovl/work" /etc
    mkdir -p /etc/tarnhall-server
    mount --bind "$root/etc" /etc/tarnhall-server
    exec "$@"
' sandbox "$root" "$root/ovl.$$" "$@"
