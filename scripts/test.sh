#!/bin/sh
# Builds everything and runs the test suite (the "default" workflow preset:
# configure, build, ctest -j2 in build/), after installing whatever the
# build and the tests need that is missing (scripts/setup-deps.sh; that
# needs root on a machine that lacks something).
#
# Exit status: the workflow's (0 every test passed), or setup-deps.sh's
# when the set-up could not be done (77 not root, 1 apt-get failed).
set -eu
cd "$(dirname "$0")/.."
if [ $# != 0 ]; then
    echo "usage: scripts/test.sh (no arguments)" >&2
    exit 2
fi
scripts/setup-deps.sh build tests rig
exec cmake --workflow --preset default
