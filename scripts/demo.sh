#!/usr/bin/env bash
# The end-to-end demo (publish a release, serve it with nginx, update an installation) arrives with
# the update window.
echo "demo: not available yet: the update window and engine are still being built." >&2
exit 1
