#!/usr/bin/env bash
# Installs, only when missing, what the side-by-side benchmark needs: the test deps (socat and
# a C compiler for its echo device among them) and ser2net.
set -euo pipefail
exec bash "$(dirname "$0")/install-deps.sh" --bench
