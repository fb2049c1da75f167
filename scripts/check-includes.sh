#!/usr/bin/env bash
# host/, driver/, tools/ and common/ may include only the C++ standard library,
# their own headers and the platform ports; never an operating-system or
# third-party header, and never platform/linux, platform/sim or platform/win32.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
std_headers=" algorithm any array atomic barrier bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes climits clocale cmath codecvt compare complex concepts condition_variable coroutine csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution expected filesystem format forward_list fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector version "
for dir in host driver tools common; do
  [[ -d $dir ]] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    rest=${line#*:}
    lineno=${rest%%:*}
    text=${rest#*:}
    if [[ $text =~ \#[[:space:]]*include[[:space:]]*\<([^>]+)\> ]]; then
      hdr=${BASH_REMATCH[1]}
      if [[ $std_headers != *" $hdr "* ]]; then
        echo "$file:$lineno: <$hdr> is not a C++ standard header (use a platform port)"
        status=1
      fi
    elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
      hdr=${BASH_REMATCH[1]}
      case $hdr in
        platform/linux/*|platform/sim/*|platform/win32/*|tests/*|viewer/*)
          echo "$file:$lineno: \"$hdr\" is an implementation or test header"; status=1 ;;
        host/*|driver/*|tools/*|common/*|platform/*) ;;
        *) echo "$file:$lineno: \"$hdr\" is not rooted at the repository (host/, driver/, tools/, common/, platform/)"; status=1 ;;
      esac
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' "$dir" --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' --include='*.inl')
done
# Deliverables meet only through their protocols: no deliverable includes another's code.
while IFS= read -r line; do echo "$line: the driver includes host code"; status=1; done \
  < <(grep -rnE '#[[:space:]]*include[[:space:]]*"(host|tools)/' driver 2>/dev/null)
while IFS= read -r line; do echo "$line: tools include host or driver code"; status=1; done \
  < <(grep -rnE '#[[:space:]]*include[[:space:]]*"(host|driver)/' tools 2>/dev/null)
while IFS= read -r line; do echo "$line: the host includes driver or tools code"; status=1; done \
  < <(grep -rnE '#[[:space:]]*include[[:space:]]*"(driver|tools)/' host 2>/dev/null)
if [[ $status -eq 0 ]]; then echo "include check: ok"; fi
exit $status
