#!/usr/bin/env bash
# Makes a release for the update site from a built program folder: the archive the updater
# takes (nusk-VERSION-linux_ARCH.tar.gz, one top-level folder holding the program, its
# "themes" and "licenses"), and the feed "appcast_linux.xml" whose entry gives the archive's
# size, SHA-256 and an Ed25519 signature made with the release's secret key. Both go into
# OUT_DIR; upload them side by side to the update site (the entry names the archive relative
# to the feed).
#
#   scripts/release.sh -k SECRET_KEY.pem -v VERSION -o OUT_DIR PROGRAM_DIR
#
# SECRET_KEY.pem: the release key (openssl genpkey -algorithm ed25519), readable by its owner
# only and kept outside the repository. PROGRAM_DIR: the "bin" folder of a build configured
# with that key's public half (see README); a program built without it is refused, since it
# could never install the next update.
set -euo pipefail
# Started through a link from elsewhere, the repository is still the one the script lies in.
root="$(cd "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/.." && pwd -P)"

die() { echo "release.sh: $*" >&2; exit 1; }
usage() { die "usage: release.sh -k SECRET_KEY.pem -v VERSION -o OUT_DIR PROGRAM_DIR"; }

key="" version="" out=""
while getopts "k:v:o:" opt; do
  case "$opt" in
    k) key="$OPTARG" ;;
    v) version="$OPTARG" ;;
    o) out="$OPTARG" ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -ne 1 ] || [ -z "$key" ] || [ -z "$version" ] || [ -z "$out" ]; then usage; fi
program_dir="$1"

command -v openssl >/dev/null || die "openssl is needed to sign"
# The version goes into XML and into the signed statement: plain characters only, and no
# longer than the updater takes.
[[ "$version" =~ ^[0-9][0-9A-Za-z.+~-]{0,31}$ ]] || die "not a version: $version"

[ -f "$key" ] || die "no key file $key"
key_real="$(realpath "$key")"
case "$key_real" in "$root"/*) die "the secret key must not lie inside the repository ($key_real)" ;; esac
# A hard link, or a folder mounted into the repository, gives the same file a name in there.
in_repository="$(find "$root" -samefile "$key_real" -print -quit 2>/dev/null || true)"
[ -z "$in_repository" ] || die "the secret key must not lie inside the repository ($in_repository)"
[ $(( 0$(stat -c %a "$key_real") & 077 )) -eq 0 ] || die "$key is readable by others; chmod 600 it"
# Whoever may write the key's folder, or a folder above it that is not sticky, or owns one of
# them, can put a key of their own in its place.
folder="$(dirname "$key_real")" where=in
while :; do
  mode=0$(stat -c %a "$folder")
  owner=$(stat -c %u "$folder")
  if [ "$owner" -ne 0 ] && [ "$owner" -ne "$(id -u)" ]; then
    die "the key lies $where $folder, which belongs to another account"
  fi
  if [ $((mode & 022)) -ne 0 ] && { [ "$where" = in ] || [ $((mode & 01000)) -eq 0 ]; }; then
    die "the key lies $where $folder, which others may write"
  fi
  [ "$folder" != / ] || break
  folder="$(dirname "$folder")" where=below
done
openssl pkey -in "$key_real" -noout -text 2>/dev/null | head -1 | grep -q "ED25519 Private-Key" \
  || die "$key is no Ed25519 secret key"
# The raw 32 bytes of the public key are the last ones of its DER form.
public_key="$(openssl pkey -in "$key_real" -pubout -outform DER | tail -c 32 | base64 -w0)"

for item in nusk themes licenses; do
  [ -e "$program_dir/$item" ] || die "$program_dir has no $item"
done
[ -x "$program_dir/nusk" ] || die "$program_dir/nusk is not executable"
grep -qF "$public_key" "$program_dir/nusk" \
  || die "$program_dir/nusk was not built with this key's public half ($public_key)"

# The platform marker the updater looks for: "linux_" and the architecture as Qt names it.
case "$(uname -m)" in
  x86_64) arch=x86_64 ;;
  aarch64) arch=arm64 ;;
  i?86) arch=i386 ;;
  armv*) arch=arm ;;
  *) die "unknown architecture $(uname -m)" ;;
esac
marker="linux_$arch"
name="nusk-$version-$marker"
archive="$name.tar.gz"

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
cp -RL "$program_dir/nusk" "$program_dir/themes" "$program_dir/licenses" "$stage/$name/"

mkdir -p "$out"
# The same folder gives the same archive: sorted, without owners or build times.
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@${SOURCE_DATE_EPOCH:-0}" \
    --mode='u+rwX,go+rX,go-w' -C "$stage" -cf - "$name" | gzip -9n > "$stage/$archive"
size="$(stat -c %s "$stage/$archive")"
sha256="$(sha256sum "$stage/$archive" | cut -d' ' -f1)"

# The statement the updater checks (UpdateFeed::statement): marker, version, size, digest.
printf 'nusk update\n%s\n%s\n%s\n%s\n' "$marker" "$version" "$size" "$sha256" > "$stage/statement"
signature="$(openssl pkeyutl -sign -inkey "$key_real" -rawin -in "$stage/statement" | base64 -w0)"
[ -n "$signature" ] || die "signing failed"

cat > "$stage/appcast_linux.xml" <<EOF
<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>nusk</title>
    <item>
      <title>nusk $version</title>
      <pubDate>$(LC_ALL=C date -u -R)</pubDate>
      <enclosure url="$archive" type="application/gzip" length="$size"
                 sparkle:shortVersionString="$version" sha256="$sha256" signature="$signature"/>
    </item>
  </channel>
</rss>
EOF
mv "$stage/$archive" "$stage/appcast_linux.xml" "$out/"
echo "$out/$archive ($size bytes, sha256 $sha256)"
echo "$out/appcast_linux.xml, signed with $public_key"
