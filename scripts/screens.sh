#!/usr/bin/env bash
# Screenshots of the real program: builds nusk and nusk-peerhost, prepares a demo
# configuration (this computer paired with a second peer host that shares a folder of
# pictures, documents and sub-folders), starts nusk under Xvfb at 1600x1000 with
# NUSK_SCREENS_DIR set, and leaves one PNG per scene in build/screens/; then once more in
# English and in German at the window's first-start size for the first-start scenes
# (build/screens/default-en, default-de).
#
#   scripts/screens.sh            # all scenes
#   NUSK_SCREENS_KEEP=1 ...       # keep the demo folders in build/screens-demo afterwards
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/build.sh
source "$root/scripts/build.sh"
export NUSK_JOBS="${NUSK_JOBS:-4}"
nusk_build nusk
nusk_build nusk-peerhost

bin="$root/build/bin"
out="$root/build/screens"
demo="$root/build/screens-demo"
rm -rf "$out" "$demo"
mkdir -p "$out" "$demo/here" "$demo/other" "$demo/shared"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'; }
port_here=$(free_port)
port_other=$(free_port)

# The shared folder: pictures, documents and sub-folders.
python3 - "$demo/shared" <<'PY'
import os, struct, sys, zlib
base = sys.argv[1]

def png(path, w, h, f):
    raw = b"".join(b"\x00" + bytes(c for x in range(w) for c in f(x, y)) for y in range(h))
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xffffffff)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) \
        + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b"")
    open(path, "wb").write(data)

def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "w").write(text)

pics = os.path.join(base, "Pictures", "Iceland 2024")
os.makedirs(pics, exist_ok=True)
scenes = [((40, 90, 160), (250, 200, 120)), ((20, 60, 40), (180, 220, 140)), ((90, 40, 120), (250, 150, 90)),
          ((10, 30, 70), (120, 190, 240)), ((60, 60, 60), (230, 230, 220))]
for i, (a, b) in enumerate(scenes):
    png(os.path.join(pics, f"IMG_47{10 + i}.png"), 320, 200,
        lambda x, y, a=a, b=b: tuple(int(a[k] + (b[k] - a[k]) * (y / 200) * (0.6 + 0.4 * x / 320)) for k in range(3)))
os.makedirs(os.path.join(base, "Pictures", "Family"), exist_ok=True)
png(os.path.join(base, "Pictures", "Family", "garden.png"), 240, 160,
    lambda x, y: (int(80 + 100 * y / 160), int(140 + 80 * x / 240), 90))
write(os.path.join(base, "Documents", "Letters", "landlord.txt"), "Dear Mr. Olsen,\n\nthe heating works again.\n")
write(os.path.join(base, "Documents", "notes.md"), "# Notes\n\n- back up the photos\n- renew the domain\n")
write(os.path.join(base, "Documents", "budget 2025.csv"), "month,rent,food\nJan,900,320\nFeb,900,298\n")
pdf = b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n" \
      b"3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 595 842]>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n"
open(os.path.join(base, "Documents", "manual.pdf"), "wb").write(pdf)
os.makedirs(os.path.join(base, "Music", "Live"), exist_ok=True)
open(os.path.join(base, "Music", "Live", "set 1.ogg"), "wb").write(b"OggS" + b"\0" * 60)
write(os.path.join(base, "readme.txt"), "Files shared with the laptop.\n")

# This computer's home folder, where both panes start.
import shutil
home = os.path.join(os.path.dirname(base), "home")
for d in ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos"):
    os.makedirs(os.path.join(home, d), exist_ok=True)
shutil.copytree(os.path.join(base, "Documents"), os.path.join(home, "Documents"), dirs_exist_ok=True)
shutil.copytree(os.path.join(base, "Pictures"), os.path.join(home, "Pictures"), dirs_exist_ok=True)
write(os.path.join(home, "todo.txt"), "call the plumber\n")

# Files that name their own icons: launchers, folders with a .directory, a program.
progs = os.path.join(home, "Programs")
write(os.path.join(progs, "Editor.desktop"), "[Desktop Entry]\nType=Application\nName=Editor\nIcon=accessories-text-editor\n")
write(os.path.join(progs, "Terminal.desktop"), "[Desktop Entry]\nType=Application\nName=Terminal\nIcon=utilities-terminal\n")
write(os.path.join(progs, "Songs", ".directory"), "[Desktop Entry]\nIcon=folder-music\n")
write(os.path.join(progs, "Holidays", ".directory"), "[Desktop Entry]\nIcon=folder-pictures\n")
os.makedirs(os.path.join(progs, "Plain folder"), exist_ok=True)
write(os.path.join(progs, "gvim"), "#!/bin/sh\nexec vim \"$@\"\n")
os.chmod(os.path.join(progs, "gvim"), 0o755)
write(os.path.join(progs, "notes.txt"), "to do\n")

# Ages a real home would have: the list tints names by how recently they changed, and a demo
# made a second ago would show every name as brand new. One file stays fresh.
import time
now = time.time()
for top in (base, home):
    for n, (d, dirs, files) in enumerate(sorted(os.walk(top), reverse=True)):
        for i, f in enumerate(sorted(files) + sorted(dirs)):
            age = 86400 * (9 + 37 * ((n * 7 + i * 3) % 11)) + 3600 * ((n + i) % 17)
            os.utime(os.path.join(d, f), (now - age, now - age))
fresh = now - 240
os.utime(os.path.join(home, "Documents", "notes.md"), (fresh, fresh))
PY

# Drives a nusk-peerhost: one command a line in, reply lines out.
start_host() {  # name dir port [host name it announces]
  local name=$1 dir=$2 port=$3 as=()
  # A computer is named after its host; a UTS namespace, where allowed, gives the second
  # computer a name of its own instead of this machine's.
  if [ -n "${4:-}" ] && unshare --uts true 2>/dev/null; then
    as=(unshare --uts sh -c 'hostname "$0" && exec "$@"' "$4")
  fi
  mkfifo "$demo/$name.in"
  "${as[@]}" "$bin/nusk-peerhost" --config-dir="$dir" --com-listen-port="$port" --loopback-transports=1 \
      <"$demo/$name.in" >"$demo/$name.out" 2>"$demo/$name.err" &
  eval "${name}_pid=$!"
  eval "exec {${name}_fd}>\"$demo/$name.in\""
}
host_cmd() {  # name command... ; prints the reply lines, fails on "error"
  local name=$1; shift
  local fd_var="${name}_fd" before
  before=$(wc -l <"$demo/$name.out")
  echo "$*" >&"${!fd_var}"
  local waited=0
  while true; do
    local reply
    reply=$(tail -n +"$((before + 1))" "$demo/$name.out")
    if grep -qE '^(ok|error.*)$' <<<"$reply"; then
      grep -vE '^(ok|error.*)$' <<<"$reply" || true
      grep -q '^ok$' <<<"$reply"
      return
    fi
    sleep 0.1
    waited=$((waited + 1))
    if [ "$waited" -gt 600 ]; then echo "no answer to: $*" >&2; return 1; fi
  done
}
stop_host() {
  local name=$1 fd_var="${1}_fd" pid_var="${1}_pid"
  eval "exec ${!fd_var}>&-" || true
  wait "${!pid_var}" 2>/dev/null || true
}
cleanup() {
  [ -n "${other_pid:-}" ] && kill "$other_pid" 2>/dev/null || true
  [ -n "${here_pid:-}" ] && kill "$here_pid" 2>/dev/null || true
  [ -n "${NUSK_SCREENS_KEEP:-}" ] || rm -rf "$demo"
}
trap cleanup EXIT

# The other computer invites, this computer accepts (through a peer host on this
# computer's configuration, before the program itself starts on it).
code=0badc0de
start_host other "$demo/other" "$port_other" studio
link=$(host_cmd other invite "$code" | head -1)
start_host here "$demo/here" "$port_here"
host_cmd here accept "$link" "$code" >/dev/null
other_uuid=""
for _ in $(seq 1 100); do
  other_uuid=$(host_cmd here peers | awk -F'\t' '$1 != "{00000000-0000-0000-0000-000000000000}" && $3 == 3 {print $1}' | head -1)
  [ -n "$other_uuid" ] && break
  sleep 0.1
done
here_uuid=$(host_cmd other peers | awk -F'\t' '$1 != "{00000000-0000-0000-0000-000000000000}" {print $1}' | head -1)
[ -n "$other_uuid" ] && [ -n "$here_uuid" ] || { echo "screens: pairing failed" >&2; exit 1; }
host_cmd other share "$here_uuid" "$demo/shared" 7 >/dev/null
# And its system drive, read only (1 read, 8 the whole drive): the shared items list it.
host_cmd other share "$here_uuid" / 9 >/dev/null
# And a folder this computer may only read: what it refuses to change, it says why.
mkdir -p "$demo/archive/2023"
printf 'Receipts of 2022\n' >"$demo/archive/tax 2022.txt"
printf 'Old address list\n' >"$demo/archive/addresses.txt"
host_cmd other share "$here_uuid" "$demo/archive" 5 >/dev/null
host_cmd here quit >/dev/null || true
stop_host here
unset here_pid

cat >"$demo/here/config.ini" <<EOF
[General]
network\\enabled=true
rhs=filerpane
update\\checkinterval=0
EOF
# This computer as the program first meets it (paired, nothing else yet): each first-start
# run below starts from it, so that what the program makes at its first start (the node
# view's first view, its name) is made in that run's language.
cp -a "$demo/here" "$demo/here.first"

# Runs the program once under Xvfb (openbox draws the window frames a desktop would);
# NUSK_SCREENS_* and the language come from the caller's environment.
run_program() {
  HOME="$demo/home" xvfb-run -a -s "-screen 0 1600x1000x24" \
    env -u QT_QPA_PLATFORM QT_QUICK_BACKEND=software bash -c '
      openbox >/dev/null 2>&1 &
      wm=$!
      sleep 0.5
      "$0" "$@"
      rc=$?
      kill $wm 2>/dev/null
      exit $rc' "$bin/nusk" --config-dir="$demo/here" --com-listen-port="$port_here" \
    2> >(grep -v '^QStandardPaths' >&2)
}

echo "screens: running the program under Xvfb"
NUSK_SCREENS_DIR="$out" run_program

# The states a new user meets, at the window's first-start size (1120 pixels wide on this
# screen), in English and in German: nothing may be clipped in either.
for lang in en de; do
  echo "screens: default size, $lang"
  rm -rf "$demo/here"
  cp -a "$demo/here.first" "$demo/here"
  NUSK_SCREENS_DIR="$out/default-$lang" NUSK_SCREENS_WINDOW=default \
  NUSK_SCREENS_ONLY='^(window-empty|window-both-panes|window-remote-page|menu-remote.*|dialog-.*invitation.*|invitation-.*|dialog-copy-to.*|job-question|job-copying|job-failed|job-question-share|job-failed-share|job-paused-away|job-left-out|job-move-kept|job-move-unconfirmed|filer-cut-refused|dialog-about|filer-peer-page|filer-computer-list|filer-remote-share|filer-rename-refused|filer-delete-refused|job-offline|job-preparing|job-windows-cascaded|drop-menu-between|filer-remote-trashed|window-narrow|window-tabs)$' \
  LANG="$( [ "$lang" = de ] && echo de_DE.UTF-8 || echo en_US.UTF-8 )" LANGUAGE="$lang" \
    run_program
done

# A path typed in the bar right after a start, before anything listed the other computer's
# shares, and a share it does not have: at the first-start size, in English and in German.
for lang in en de; do
  echo "screens: typed paths, $lang"
  rm -rf "$demo/here"
  cp -a "$demo/here.first" "$demo/here"
  NUSK_SCREENS_DIR="$out/default-$lang" NUSK_SCREENS_WINDOW=default \
  NUSK_SCREENS_ONLY='^(filer-typed-share|filer-typed-missing)$' \
  LANG="$( [ "$lang" = de ] && echo de_DE.UTF-8 || echo en_US.UTF-8 )" LANGUAGE="$lang" \
    run_program
done

# What a copy's window says while a computer is silent, and when sources went away while they
# were copied: at the first-start size, in English and in German.
for lang in en de; do
  echo "screens: copy waits and sources gone, $lang"
  rm -rf "$demo/here"
  cp -a "$demo/here.first" "$demo/here"
  NUSK_SCREENS_DIR="$out/default-$lang" NUSK_SCREENS_WINDOW=default \
  NUSK_SCREENS_ONLY='^(job-waiting|job-sources-gone)$' \
  LANG="$( [ "$lang" = de ] && echo de_DE.UTF-8 || echo en_US.UTF-8 )" LANGUAGE="$lang" \
    run_program
done

host_cmd other quit >/dev/null || true
stop_host other
unset other_pid
ls "$out"
