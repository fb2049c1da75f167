#!/usr/bin/env bash
# The include rules of the repository (docs/layers.md draws them):
# - host/, driver/, tools/, common/ and the port headers in platform/ include
#   only the C++ standard library among the <...> headers: no operating-system
#   or third-party header outside the platform implementations and the viewer.
# - Every folder includes only the folders below it (the table below). A host
#   folder that is not in the table fails the check until it is given a place.
# - The reference viewer takes only the wire codec (host/protocol) and common
#   from the host; no deliverable includes another's code.
#
# Usage: scripts/check-includes.sh [ROOT]   (ROOT defaults to the repository)
set -uo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root" || exit 2

# What each folder may include. "platform" means the port headers
# (platform/<name>.h); every other entry means everything under that folder.
base="common platform"
declare -A allowed=(
  [common]="common"
  [platform]="$base"
  [platform/linux]="$base platform/linux platform/sim"
  [platform/sim]="$base platform/sim"
  [platform/win32]="$base platform/win32"
  [host/protocol]="$base host/protocol"
  [host/core]="$base host/protocol host/core"
  [host/trust]="$base host/protocol host/core host/trust"
  [host/media]="$base host/protocol host/core host/media"
  [host/layout]="$base host/protocol host/core host/layout"
  [host/report]="$base host/protocol host/core host/report"
  [host/input]="$base host/protocol host/core host/media host/layout host/input"
  [host/monitors]="$base host/protocol host/core host/media host/layout host/monitors"
  [host/net]="$base host/protocol host/core host/trust host/net"
  [host/session]="$base host/protocol host/core host/trust host/net host/media host/layout host/report host/input host/monitors host/session"
  [host/ui]="$base host/protocol host/core host/trust host/net host/media host/layout host/report host/input host/monitors host/session host/ui"
  [host/app]="$base host"
  [driver]="$base driver"
  [tools/setup]="$base tools/setup"
  [tools/devtool]="$base tools/devtool"
  [viewer]="$base host/protocol viewer"
)

std_headers=" algorithm any array atomic barrier bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes climits clocale cmath codecvt compare complex concepts condition_variable coroutine csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution expected filesystem format forward_list fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector version "
# The compiler's SIMD intrinsics are part of every x86-64 toolchain (gcc, clang,
# mingw-w64, MSVC), not an operating-system or third-party library.
std_headers+="emmintrin.h tmmintrin.h smmintrin.h immintrin.h "

# Sets unit to the folder (key of the table) file $1 belongs to.
unit_of() {
  local f=$1 rest
  unit=""
  case $f in
    host/*/*) rest=${f#host/}; unit="host/${rest%%/*}" ;;
    tools/*/*) rest=${f#tools/}; unit="tools/${rest%%/*}" ;;
    driver/*) unit=driver ;;
    viewer/*) unit=viewer ;;
    common/*) unit=common ;;
    platform/*/*) rest=${f#platform/}; unit="platform/${rest%%/*}" ;;
    platform/*) unit=platform ;;
  esac
}

# True when the header hdr lies in the folder entry.
in_entry() {
  local hdr=$1 entry=$2
  if [[ $entry == platform ]]; then
    [[ $hdr == platform/* && ${hdr#platform/} != */* ]]
  else
    [[ $hdr == "$entry"/* ]]
  fi
}

status=0
while IFS= read -r line; do
  file=${line%%:*}
  rest=${line#*:}
  lineno=${rest%%:*}
  text=${rest#*:}
  unit_of "$file"
  [[ -z $unit ]] && continue
  if [[ -z ${allowed[$unit]+set} ]]; then
    echo "$file:$lineno: $unit has no place in the layers (give it one in scripts/check-includes.sh and docs/layers.md)"
    status=1
    continue
  fi
  if [[ $text =~ \#[[:space:]]*include[[:space:]]*\<([^>]+)\> ]]; then
    hdr=${BASH_REMATCH[1]}
    case $unit in
      viewer|platform/linux|platform/sim|platform/win32) ;;
      *)
        if [[ $std_headers != *" $hdr "* ]]; then
          echo "$file:$lineno: <$hdr> is not a C++ standard header (use a platform port)"
          status=1
        fi ;;
    esac
  elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
    hdr=${BASH_REMATCH[1]}
    ok=0
    for entry in ${allowed[$unit]}; do
      if in_entry "$hdr" "$entry"; then ok=1; break; fi
    done
    if [[ $ok -eq 0 ]]; then
      echo "$file:$lineno: \"$hdr\" runs against the layers: $unit includes only ${allowed[$unit]// /, }"
      status=1
    fi
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' host driver tools common platform viewer \
           --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' --include='*.inl' 2>/dev/null)

if [[ $status -eq 0 ]]; then echo "include check: ok"; fi
exit $status
