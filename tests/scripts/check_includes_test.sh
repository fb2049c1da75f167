#!/usr/bin/env bash
# scripts/check-includes.sh on copies of the source tree: the tree as it is
# passes, and each planted include that runs the wrong way fails with a line
# naming the file.
set -uo pipefail
src=${1:?usage: check_includes_test.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fresh_copy() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"
  for d in host driver tools common platform viewer scripts; do
    [[ -d $src/$d ]] && cp -r "$src/$d" "$work/tree/"
  done
}

# expect <0|1> <text the output must contain> [file line]: plants line at
# the top of file (created when missing) in a fresh copy and runs the check.
expect() {
  local want=$1 needle=$2 file=${3:-} line=${4:-}
  fresh_copy
  if [[ -n $file ]]; then
    mkdir -p "$(dirname "$work/tree/$file")"
    { echo "$line"; cat "$work/tree/$file" 2>/dev/null; } > "$work/tree/$file.new"
    mv "$work/tree/$file.new" "$work/tree/$file"
  fi
  local out rc
  out=$(bash "$work/tree/scripts/check-includes.sh" "$work/tree" 2>&1)
  rc=$?
  [[ $rc -ne 0 ]] && rc=1
  if [[ $rc -ne $want || $out != *"$needle"* ]]; then
    echo "FAIL: ${file:-(tree as it is)} <- '${line}': exit $rc, wanted $want with '$needle'; output:"
    echo "$out"
    failures=$((failures + 1))
  fi
}

expect 0 "include check: ok"
# Upward and sideways arrows.
expect 1 'host/core/log.h:1: "host/net/wifi_transport.h" runs against the layers' \
  host/core/log.h '#include "host/net/wifi_transport.h"'
expect 1 'host/protocol/wire.h:1: "host/core/log.h" runs against the layers' \
  host/protocol/wire.h '#include "host/core/log.h"'
expect 1 'host/trust/tls_channel.cpp:1: "host/net/transport.h" runs against the layers' \
  host/trust/tls_channel.cpp '#include "host/net/transport.h"'
expect 1 'host/media/capture.cpp:1: "host/input/touch.h" runs against the layers' \
  host/media/capture.cpp '#include "host/input/touch.h"'
expect 1 'common/text.cpp:1: "platform/files.h" runs against the layers' \
  common/text.cpp '#include "platform/files.h"'
# Implementations of the ports and tests are for programs and tests only.
expect 1 'host/core/log.cpp:1: "platform/sim/manual_clock.h" runs against the layers' \
  host/core/log.cpp '#include "platform/sim/manual_clock.h"'
expect 1 'host/net/wifi_transport.cpp:1: "tests/support/temp_dir.h" runs against the layers' \
  host/net/wifi_transport.cpp '#include "tests/support/temp_dir.h"'
# The viewer takes only the wire codec from the host; deliverables stay apart.
expect 1 'viewer/net/host_link.h:1: "host/trust/tls_channel.h" runs against the layers' \
  viewer/net/host_link.h '#include "host/trust/tls_channel.h"'
expect 1 'driver/core/log.cpp:1: "host/core/log.h" runs against the layers' \
  driver/core/log.cpp '#include "host/core/log.h"'
# Operating-system headers, and folders without a place.
expect 1 'host/trust/tls_channel.cpp:1: <openssl/ssl.h> is not a C++ standard header' \
  host/trust/tls_channel.cpp '#include <openssl/ssl.h>'
expect 1 'host/gadget/gadget.cpp:1: host/gadget has no place in the layers' \
  host/gadget/gadget.cpp '#include "host/core/log.h"'
# Downward arrows are fine.
expect 0 "include check: ok" host/app/entry.cpp '#include "host/net/wifi_transport.h"'
expect 0 "include check: ok" host/net/wifi_transport.cpp '#include "host/trust/pairing_listener.h"'

if [[ $failures -ne 0 ]]; then
  echo "$failures case(s) failed"
  exit 1
fi
echo "check-includes: every case behaved"
