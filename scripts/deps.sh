#!/usr/bin/env bash
# Installs whichever Debian packages of scripts/packages.txt are missing
# (apt-get, as root or through sudo). Without either it names the missing
# packages and the command that installs them, and exits 1.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# Names that installed packages provide count as installed: Node.js from
# elsewhere than Debian provides npm, which Debian's npm would conflict with.
provided=" $(dpkg-query -W -f='${db:Status-Abbrev}|${Provides}\n' 2>/dev/null |
  sed -n 's/^ii *|//p' | tr ',' '\n' | sed 's/(.*)//; s/^ *//; s/ *$//' | tr '\n' ' ') "
missing=()
while IFS= read -r line || [[ -n "$line" ]]; do
  pkg=${line%%#*}            # a '#' starts a comment, on its own line or after a name
  pkg=${pkg//[[:space:]]/}
  [[ -z "$pkg" ]] && continue
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' &&
    [[ $provided != *" $pkg "* ]]; then
    missing+=("$pkg")
  fi
done < "$here/packages.txt"
((${#missing[@]})) || exit 0
install="apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  {
    echo "These Debian packages are missing: ${missing[*]}"
    echo "Install them as root (sudo is not available here) with this command, then start again:"
    echo "  su -c 'apt-get update && $install'"
  } >&2
  exit 1
fi
echo "Installing: ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
