#!/bin/sh
# Runs a test program in a network namespace of its own with only loopback up; the namespace
# goes away with the program.
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: creating a network namespace needs root"
    exit 77
fi
exec unshare --net sh -c 'ip link set lo up && QB_IN_FRESH_NETNS=1 exec "$@"' netns-engine "$@"
