#!/usr/bin/env bash
# The Debian packages on a bare Debian 12 root, end to end: debootstraps a
# minimal bookworm into a folder (once; later runs reuse it), copies the tree
# in and, chrooted there,
#   - builds the packages with the one command, dpkg-buildpackage -us -uc -b
#     (the build dependencies from debian/control, through apt-get build-dep);
#   - installs tarvel with `apt install ./tarvel_*.deb`, runs `tarvel
#     --version` and `MediaServer --help` from /usr/bin, purges it and checks
#     that no file of the package, nor any new file under /usr, /etc or /opt
#     that names it, is left behind;
#   - installs tarvel-server the same way and checks that `ldd` of its
#     programs shows no Qt Widgets, Qt Gui or X library, and that tarvel
#     without a command says it has no panel.
# Not part of CI: it needs root and the Debian mirror, and takes many minutes.
#   sudo bash scripts/package_check.sh [ROOT]    (default /var/tmp/tarvel-bookworm)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/var/tmp/tarvel-bookworm}
mirror=${TARVEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
[[ $(id -u) -eq 0 ]] || { echo "package_check: run as root (debootstrap and chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || apt-get install -y -qq --no-install-recommends debootstrap >&2

# The list of the bare root's packages lets every run go back to it.
if [[ ! -f "$root/var/lib/tarvel-bare-packages" ]]; then
  if [[ -e "$root" && -n "$(ls -A "$root")" ]]; then
    echo "package_check: $root is not empty and not a root this script made; name another" >&2
    exit 1
  fi
  echo "package_check: debootstrap bookworm into $root" >&2
  debootstrap --variant=minbase bookworm "$root" "$mirror" >&2
  chroot "$root" dpkg-query -W -f='${Package}\n' | sort >"$root/var/lib/tarvel-bare-packages"
fi
rm -rf "$root/build"
mkdir -p "$root/build/tarvel"
(cd "$top" && git ls-files -z --cached --others --exclude-standard |
   tar -c --null --ignore-failed-read -T - -f -) | tar -x -C "$root/build/tarvel"
install -m 0755 /dev/stdin "$root/build/steps.sh" <<'STEPS'
#!/usr/bin/env bash
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
step() { echo "== $*" >&2; }
step "build dependencies"
apt-get update -qq
apt-get install -y -qq --no-install-recommends build-essential dpkg-dev >/dev/null
cd /build/tarvel
apt-get build-dep -y -qq ./ >/dev/null
step "dpkg-buildpackage -us -uc -b"
# On a machine whose builds share the CPU through a lock, that lock is here too.
lock=(); [[ -e /build/cpu.lock ]] && lock=(flock -o /build/cpu.lock)
DEB_BUILD_OPTIONS=parallel=2 "${lock[@]}" dpkg-buildpackage -us -uc -b >/build/dpkg-buildpackage.log 2>&1 ||
  { tail -40 /build/dpkg-buildpackage.log >&2; exit 1; }
cd /build
# Back to the bare root, so that each install below brings its own dependencies.
bare() {
  dpkg-query -W -f='${Package}\n' | sort | comm -13 /var/lib/tarvel-bare-packages - |
    xargs -r apt-get purge -y -qq >/dev/null
}
step "back to the bare root"
bare
snapshot() { find /usr /etc /opt -xdev 2>/dev/null | sort; }
snapshot >/build/before

step "apt install ./tarvel_*.deb"
apt-get install -y -qq ./tarvel_*.deb >/dev/null
dpkg -L tarvel | sort >/build/files
/usr/bin/tarvel --version
/usr/bin/MediaServer --help
step "apt purge tarvel"
apt-get purge -y -qq --autoremove tarvel >/dev/null
left=0
while IFS= read -r f; do
  if [[ -e "$f" && ! -d "$f" ]]; then echo "left behind: $f" >&2; left=1; fi
done </build/files
if dpkg -l tarvel 2>/dev/null | grep -q '^[ri]'; then echo "tarvel is still known to dpkg" >&2; left=1; fi
snapshot >/build/after
if comm -13 /build/before /build/after | grep -i -E 'tarvel|mediaserver' >&2; then left=1; fi
# Left by its dependencies (ca-certificates stays while something recommends it).
echo "other files new since before the install: $(comm -13 /build/before /build/after | wc -l)" >&2
((left == 0)) || { echo "package_check: the purge left files behind" >&2; exit 1; }

bare
step "apt install --no-install-recommends ./tarvel-server_*.deb"
apt-get install -y -qq --no-install-recommends ./tarvel-server_*.deb >/dev/null
bad=0
for p in /usr/bin/tarvel /usr/bin/MediaServer; do
  echo "ldd $p:" >&2
  if ldd "$p" | grep -E 'libQt6Widgets|libQt6Gui|libX11|libxcb|libGL[.X]|libEGL' >&2; then bad=1; fi
done
# What it brought onto the bare root (its recommendations left out: a
# machine without a display may leave those too).
for p in libqt6widgets6 libqt6gui6 libx11-6 libxcb1; do
  if dpkg -l "$p" 2>/dev/null | grep -q '^ii'; then echo "tarvel-server brought $p" >&2; bad=1; fi
done
/usr/bin/MediaServer --help
if /usr/bin/tarvel 2>/build/nopanel; then bad=1; fi
grep -q 'without the control panel' /build/nopanel || { cat /build/nopanel >&2; bad=1; }
apt-get purge -y -qq --autoremove tarvel-server >/dev/null
((bad == 0)) || { echo "package_check: tarvel-server is not free of the desktop" >&2; exit 1; }
step "all checks passed"
STEPS
# A private mount namespace: /proc, /dev and the CPU lock (when there is
# one, /tmp/tarvel-cpu.lock) for the chroot go away with it.
unshare --mount --propagation private -- sh -c '
  mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" || exit 1
  if [ -e /tmp/tarvel-cpu.lock ]; then
    touch "$1/build/cpu.lock" && mount --bind /tmp/tarvel-cpu.lock "$1/build/cpu.lock" || exit 1
  fi
  cp /etc/resolv.conf "$1/etc/resolv.conf" && exec chroot "$1" /build/steps.sh' sh "$root"
cp "$root"/build/*.deb "$root/build/dpkg-buildpackage.log" /tmp/ 2>/dev/null || true
echo "package_check: passed; the packages are also in /tmp" >&2
