#!/bin/sh
# sandbox.sh ROOT COMMAND...
# Runs COMMAND in a private mount namespace in which /run (and so /var/run) is ROOT/run and
# /etc/tarnhall-server is ROOT/etc, so the service's fixed paths never touch the machine's own.
# Several sandboxes on one ROOT see the same files, as the service and its controller must.
set -e
root=$1
shift
mkdir -p "$root/run" "$root/etc" "$root/ovl.$$"
exec unshare -m --propagation private /bin/sh -c '
    set -e
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
