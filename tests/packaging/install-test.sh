#!/usr/bin/env bash
# Installs build/packages/velto*.deb into a bare Debian 12 root made with debootstrap and checks
# them as an administrator would: the programs run from their installed files, the relay's unit
# passes systemd-analyze, the relay started as its service would start answers its dashboard over
# TLS, and removal leaves only what Debian keeps (the state folder and the configuration files,
# until a purge takes those too). Needs root, debootstrap and a Debian mirror; exits 77 (skipped,
# with the reason) without them.
set -euo pipefail
cd "$(dirname "$0")/../.."

skip() { echo "packaging test skipped: $*" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, chroot)"
command -v debootstrap >/dev/null || skip "debootstrap is not installed"
shopt -s nullglob
agent_deb=(build/packages/velto_*.deb)
relay_deb=(build/packages/velto-relay_*.deb)
[ ${#agent_deb[@]} -eq 1 ] && [ ${#relay_deb[@]} -eq 1 ] || skip "no packages: run scripts/package"

mirror="${VELTO_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
cache="$PWD/build/debootstrap-cache"
mkdir -p "$cache"
root="$(mktemp -d /tmp/velto-debian.XXXXXX)"
chmod 0755 "$root" # the root of a system, which its users must be able to enter
relay=
cleanup() {
  [ -n "$relay" ] && kill "$relay" 2>/dev/null || true
  umount "$root/var/cache/apt/archives" 2>/dev/null || true
  umount "$root/proc" 2>/dev/null || true
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

fail() { echo "packaging test: $*" >&2; exit 1; }
step() { echo "packaging test: $*" >&2; }

step "making a Debian 12 root in $root"
if ! debootstrap --variant=minbase --cache-dir="$cache" bookworm "$root" "$mirror" \
     >"$root.debootstrap.log" 2>&1; then
  if grep -qiE "couldn't download|failed to download|resolv|connect" "$root.debootstrap.log"; then
    tail -n 5 "$root.debootstrap.log" >&2
    rm -f "$root.debootstrap.log"
    skip "the Debian mirror $mirror is unreachable"
  fi
  cat "$root.debootstrap.log" >&2
  fail "debootstrap failed"
fi
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc"
# Downloaded packages are kept between runs, as debootstrap's are.
mkdir -p "$cache/apt/partial"
mount --bind "$cache/apt" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
cp "${agent_deb[0]}" "${relay_deb[0]}" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
# Runs a chatty command in the root, showing what it said only when it fails.
noisy="$(mktemp)"
quietly() { in_root "$@" >"$noisy" 2>&1 || { cat "$noisy" >&2; fail "failed: $*"; }; }

step "installing both packages with their dependencies"
quietly apt-get update -qq
before="$(mktemp)"
quietly env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends systemd
(cd "$root" && find . -xdev -path ./proc -prune -o -path ./tmp -prune -o -print | sort) >"$before"
quietly env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "/tmp/$(basename "${agent_deb[0]}")" "/tmp/$(basename "${relay_deb[0]}")"

step "checking the installed programs"
in_root velto --version | grep -q . || fail "velto --version printed nothing"
in_root velto-relay --help | grep -q -- "--data" || fail "velto-relay --help lacks its options"
[ -s "$root/usr/share/bash-completion/completions/velto" ] || fail "no bash completion"
[ -s "$root/usr/share/zsh/vendor-completions/_velto" ] || fail "no zsh completion"
in_root systemd-analyze verify --man=no velto-relay.service || fail "systemd-analyze verify failed"
getent_user=$(in_root getent passwd velto-relay) || fail "no velto-relay user"
case "$getent_user" in *nologin* | */bin/false*) ;; *) fail "velto-relay user can log in" ;; esac

step "starting the relay as its service does"
state_mode=$(in_root stat -c '%a %U' /var/lib/velto-relay)
[ "$state_mode" = "700 velto-relay" ] || fail "the state folder is $state_mode"
log="$root/tmp/relay.log"
chroot --userspec=velto-relay:velto-relay "$root" env -i PATH=/usr/bin:/bin \
  bash -c 'set -a; . /etc/velto-relay/relay.conf; set +a; VELTO_RELAY_LISTEN=127.0.0.1 \
    VELTO_RELAY_PORT=0 exec /usr/bin/velto-relay --data /var/lib/velto-relay' >"$log" 2>&1 &
relay=$!
origin=
for _ in $(seq 1 100); do
  origin=$(sed -n 's/^relay: listening on //p' "$log" | head -n1)
  [ -n "$origin" ] && break
  kill -0 "$relay" 2>/dev/null || { cat "$log" >&2; fail "the relay did not start"; }
  sleep 0.1
done
[ -n "$origin" ] || { cat "$log" >&2; fail "the relay did not say where it listens"; }
grep -q '^relay: create the owner account at ' "$log" || fail "no owner link in the log"
link_mode=$(in_root stat -c '%a %U' /var/lib/velto-relay/owner-link)
[ "$link_mode" = "600 velto-relay" ] || fail "owner-link is $link_mode"
page=$(curl -sk --max-time 10 "$origin/") || fail "the dashboard did not answer over TLS"
grep -qi "<html" <<<"$page" || fail "the dashboard page is not HTML"
kill "$relay"; wait "$relay" 2>/dev/null || true; relay=

step "removing both packages"
quietly dpkg -r velto velto-relay
after="$(mktemp)"
(cd "$root" && find . -xdev -path ./proc -prune -o -path ./tmp -prune -o -print | sort) >"$after"
# Only new files count: the dependencies apt pulled in stay, as Debian leaves them.
left=$(comm -13 "$before" "$after" | grep -E 'velto' | grep -vE '^\./var/lib/velto-relay(/|$)|^\./etc/velto-relay(/relay\.conf)?$|^\./etc/xdg/autostart/velto\.desktop$|^\./var/lib/dpkg/' || true)
[ -z "$left" ] || fail "files left after dpkg -r: $left"
[ -f "$root/etc/velto-relay/relay.conf" ] || fail "the settings file went with dpkg -r"
quietly dpkg -P velto velto-relay
[ ! -e "$root/var/lib/velto-relay" ] || fail "the state folder survived a purge"
[ ! -e "$root/etc/velto-relay" ] || fail "the settings survived a purge"
[ ! -e "$root/etc/xdg/autostart/velto.desktop" ] || fail "the autostart entry survived a purge"
! in_root getent passwd velto-relay >/dev/null || fail "the velto-relay user survived a purge"
rm -f "$before" "$after" "$noisy"
step "passed"
