#!/usr/bin/env bash
# Follows the README's install section and its installed command-line example
# word for word in a fresh Debian 12 root (debootstrap --variant=minbase) that
# holds nothing but git and a clone of these sources:
#   - as root: the build packages (scripts/install-deps.sh build);
#   - as a plain user: scripts/package.sh builds the programs and the .deb;
#     the bundle's corvane-cli --version runs;
#   - as root: the README's apt install of the .deb;
#   - as the user: the installed corvane-cli --version, then the README's
#     installed example (info, edit into the home, diff);
#   - as root: the README's apt remove.
# Needs root (debootstrap, chroot) and the network to the machine's Debian
# mirror (the first bookworm source in /etc/apt/sources.list*). Takes a while:
# the build is a full one.
#
#   check-fresh-install.sh [WORK_DIR]   default: a new folder below /var/tmp;
#                                       kept afterwards for a look, printed
#
# The clone is of this repository's HEAD (commit what you want checked).
# Exits 0 when every step passed; the failing step is named otherwise.
set -euo pipefail
SOURCE="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

fail() {
  echo "check-fresh-install: FAIL: $*" >&2
  exit 1
}
step() {
  echo "=== $*"
}

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap and chroot)"

WORK="${1:-$(mktemp -d /var/tmp/corvane-fresh.XXXXXX)}"
mkdir -p "$WORK"
WORK="$(cd "$WORK" && pwd)"
ROOT="$WORK/root"
[ ! -e "$ROOT" ] || fail "$ROOT exists already: give a new work folder"
echo "Work folder: $WORK"

# The machine's own Debian mirror: the first source (one-line or deb822)
# whose suites include bookworm.
mirror() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                       if ($(i + 1) == "bookworm") { print $i; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
         { uri = ""; ok = 0
           for (n = 1; n <= NF; n++) {
             if ($n ~ /^URIs:/) { split($n, w, /[ \t]+/); uri = w[2] }
             if ($n ~ /^Suites:/ && $n ~ /[ \t]bookworm([ \t]|$)/) ok = 1
           }
           if (ok && uri != "") { print uri; exit } }' "$file"
  done
}
MIRROR="$(mirror | head -1)"
[ -n "$MIRROR" ] || fail "no bookworm source in /etc/apt/sources.list*"
echo "Mirror: $MIRROR"

if ! command -v debootstrap >/dev/null; then
  step "installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -l "${mounted[$i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT

step "debootstrap --variant=minbase bookworm"
start=$SECONDS
debootstrap --variant=minbase bookworm "$ROOT" "$MIRROR" >"$WORK/debootstrap.log" 2>&1 ||
  { tail -20 "$WORK/debootstrap.log" >&2; fail "debootstrap"; }
echo "fresh root: $(du -sh "$ROOT" | cut -f1) in $((SECONDS - start)) s"

mount -t proc proc "$ROOT/proc" && mounted+=("$ROOT/proc")
mount --rbind /dev "$ROOT/dev" && mounted+=("$ROOT/dev")
mount -t tmpfs tmpfs "$ROOT/tmp" && mounted+=("$ROOT/tmp")
cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"

# as_root COMMAND: runs the shell command line in the fresh root as root;
# as_user COMMAND: as the plain user "builder", in the clone.
as_root() {
  chroot "$ROOT" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    bash -euo pipefail -c "cd /home/builder/corvane && $1"
}
as_user() {
  chroot --userspec=builder:builder "$ROOT" env -i HOME=/home/builder USER=builder \
    PATH=/usr/bin:/bin LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen \
    bash -euo pipefail -c "cd /home/builder/corvane && $1"
}

step "git, a plain user and the clone"
chroot "$ROOT" bash -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq git >/dev/null &&
  useradd -m -s /bin/bash builder'
git clone -q "$SOURCE" "$ROOT/home/builder/corvane"
chroot "$ROOT" chown -R builder:builder /home/builder/corvane
echo "cloned $(git -C "$SOURCE" rev-parse --short HEAD)"
for tool in sudo file cmake; do
  if chroot "$ROOT" bash -c "command -v $tool" >/dev/null; then
    echo "note: the fresh root already has $tool"
  fi
done

# The README's commands: the install section's block and the installed
# example's block.
README="$ROOT/home/builder/corvane/README.md"
install_block="$(awk '/^## Install/ { on = 1; next } /^## / { on = 0 }
  on && /^    [^ ]/ { sub(/^    /, ""); print; if (++n == 3) exit }' "$README")"
example_block="$(awk '/^```sh/ { block++; on = (block == 2); next } /^```/ { on = 0 }
  on { print }' "$README")"
echo "README install commands:"
sed 's/^/  /' <<<"$install_block"
package_cmd="$(grep -m1 'scripts/package.sh' <<<"$install_block")"
install_cmd="$(grep -m1 '^apt install' <<<"$install_block")"
remove_cmd="$(grep -m1 '^apt remove' <<<"$install_block")"
[ -n "$package_cmd" ] && [ -n "$install_cmd" ] && [ -n "$remove_cmd" ] ||
  fail "the README's install section lacks package.sh, apt install or apt remove"
grep -q '/usr/share/corvane/samples' <<<"$example_block" ||
  fail "the README's second example is not the installed one"

step "as root: bash scripts/install-deps.sh build"
start=$SECONDS
as_root "bash scripts/install-deps.sh build" >"$WORK/deps.log" 2>&1 ||
  { tail -20 "$WORK/deps.log" >&2; fail "install-deps.sh build"; }
echo "root now $(du -sh --exclude=home "$ROOT" 2>/dev/null | cut -f1), $((SECONDS - start)) s"

step "as the user: $package_cmd"
start=$SECONDS
as_user "$package_cmd" >"$WORK/package.log" 2>&1 ||
  { tail -30 "$WORK/package.log" >&2; fail "$package_cmd"; }
echo "built in $((SECONDS - start)) s: $(ls "$ROOT"/home/builder/corvane/build/corvane_*.deb | xargs -n1 basename)"
as_user "build/bundle/corvane-cli --version" || fail "the bundle's corvane-cli --version"

# apt asks before it removes or installs more than it was given: the
# README's commands are typed at a terminal, where the answer is yes.
step "as root: $install_cmd"
as_root "$install_cmd" <<<y >"$WORK/apt-install.log" 2>&1 ||
  { tail -20 "$WORK/apt-install.log" >&2; fail "$install_cmd"; }
as_user "corvane-cli --version" || fail "the installed corvane-cli --version"
as_user "test -f /usr/share/man/man1/corvane-cli.1.gz" ||
  fail "no installed man page"

step "as the user: the README's installed example"
sed 's/^/  /' <<<"$example_block"
as_user "$example_block" >"$WORK/example.log" 2>&1 ||
  { cat "$WORK/example.log" >&2; fail "the README's installed example"; }
tail -5 "$WORK/example.log"
[ -s "$ROOT/home/builder/customer.zip" ] || fail "the example wrote no ~/customer.zip"

step "as root: $remove_cmd"
as_root "$remove_cmd" <<<y >"$WORK/apt-remove.log" 2>&1 ||
  { tail -20 "$WORK/apt-remove.log" >&2; fail "$remove_cmd"; }
[ ! -e "$ROOT/usr/bin/corvane-cli" ] || fail "corvane-cli is still installed"

echo "PASS (work folder $WORK; remove it with: rm -rf $WORK)"
