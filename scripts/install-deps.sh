#!/usr/bin/env bash
# Installs the Debian packages of .ci/packages.txt that are missing. Only as
# root; otherwise it lists what is missing and carries on.
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
while read -r pkg; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done < .ci/packages.txt
[[ ${#missing[@]} -eq 0 ]] && exit 0
if [[ $(id -u) -eq 0 ]]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || true
  apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "missing packages (run as root to install): ${missing[*]}" >&2
fi
