#!/bin/sh
# Runs a command in a private user and network namespace with its loopback up:
# port 1001 may be bound there without privileges, and tests that bind it never
# clash with each other or with anything on the machine.
exec unshare -rn sh -c 'ip link set lo up && exec "$@"' run_in_netns "$@"
