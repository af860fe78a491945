#!/bin/sh
# Runs a command inside a private network namespace whose only interface is loopback,
# up, with the default route through it: a broadcast to 255.255.255.255 reaches boxes
# bound on 0.0.0.0 there, their answers come from 127.0.0.1, and nothing leaves the
# machine. Needs root (or CAP_SYS_ADMIN).
#   tests/e2e/in_netns.sh COMMAND [ARGUMENT...]
set -eu
[ "$#" -gt 0 ] || { echo "usage: $0 COMMAND [ARGUMENT...]" >&2; exit 2; }
exec unshare -n sh -c 'ip link set lo up && ip route add default dev lo && exec "$@"' in_netns "$@"
