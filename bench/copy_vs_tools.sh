#!/usr/bin/env bash
# Copies as a user would otherwise make them, side by side in one run: nusk (two peer hosts
# on loopback, bench_peercopy) against scp, rsync over ssh and cp, for a fresh large file, an
# identical re-copy, a resume after a cut at 50 %, many small files, plus the big-folder
# listing against a stat scan and the raw channel. Prints the figures and the ratios.
#
#   bench/copy_vs_tools.sh [build dir] [MiB] [files] [rounds] [deleted]
#                                                  defaults: build 1024 10000 5 0
#   (all files go under $TMPDIR, default /tmp: the file system measured; files 0 leaves out
#   the small files and the listing, for everyone, so that the large-file rows take minutes;
#   MiB 0 leaves out the large file and the listing, so that only the small files run;
#   deleted N makes and deletes N empty files in a folder of the same file system just before
#   each program's small files: ext4 then passes over the recently freed inodes on every new
#   file, as on a disk where a large folder was just emptied)
#
# Everything is measured `rounds` times, the programs in an order that turns every round; the
# table shows each figure's median and its range (lowest-highest), and the ratios of each
# round follow: on a shared machine one round's
# figures alone swing by a factor of two or more, the tools' as much as nusk's. A copy counts
# as done once its data is on disk: nusk flushes the destination before it says "finished",
# the tools are followed by the same flush (their time without it is printed too).
#
# scp and rsync talk to a private sshd on a free loopback port with a throw-away key, started
# here when sshd is installed (scripts/install-deps.sh lists it) and stopped at the end.
set -euo pipefail

BUILD=${1:-build}
MIB=${2:-1024}
FILES=${3:-10000}
ROUNDS=${4:-5}
DELETED=${5:-0}
BIN=$(cd "$BUILD/bin" && pwd)
# OTHER_BUILD=<build dir>: another build of nusk (the one before a change) runs in the same
# rounds, in its own turn, and its figures are printed next to this build's.
OTHER_BIN=""
[ -z "${OTHER_BUILD:-}" ] || OTHER_BIN=$(cd "$OTHER_BUILD/bin" && pwd)
export NUSK_BIN_DIR=$BIN QT_QPA_PLATFORM=offscreen

WORK=$(mktemp -d "${TMPDIR:-/tmp}/copy_vs_tools.XXXXXX")
SSHD_PID=""
cleanup() {
  [ -n "$SSHD_PID" ] && kill "$SSHD_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
# Times a copy into T[name]: seconds until its data is on disk, as a nusk copy says
# "finished" only after the destination flushed its file system (so the tools' figures end
# with the same flush, `sync -f` of the destination), and the tool's own time alone into
# T[name_alone]. Each starts with nothing left to write back from the one before.
timed() {
  local name=$1 t0 t1 out
  shift
  sync
  t0=$(now)
  if out=$("$@" 2>&1); then
    t1=$(now)
    sync -f "$OUT"
    add "$name" "$(secs "$t0" "$(now)")"
    add "${name}_alone" "$(secs "$t0" "$t1")"
  else
    echo "$out" >&2
    add "$name" failed
  fi
}

# --- inputs ---------------------------------------------------------------------------------
mkdir -p "$WORK/src/many" "$WORK/out"
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$WORK/src/big.bin"
python3 - "$WORK/src/many" "$FILES" <<'EOF'
import os, sys
d, n = sys.argv[1], int(sys.argv[2])
block = b'x' * 4096
for i in range(n):
    with open(os.path.join(d, 'f%06d' % i), 'wb') as f:
        f.write(block)
EOF
sync

# --- a private sshd ---------------------------------------------------------------------------
SSH=()
SSHD=$(command -v sshd || true)
if [ -z "$SSHD" ] && [ -x /usr/sbin/sshd ]; then SSHD=/usr/sbin/sshd; fi
if [ -n "$SSHD" ]; then
  PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p "$WORK/ssh" && chmod 700 "$WORK/ssh"
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/ssh/host" >/dev/null
  ssh-keygen -q -t ed25519 -N '' -f "$WORK/ssh/user" >/dev/null
  cp "$WORK/ssh/user.pub" "$WORK/ssh/authorized_keys"
  [ "$(id -u)" -eq 0 ] && mkdir -p /run/sshd
  "$SSHD" -D -e -f /dev/null -p "$PORT" -o ListenAddress=127.0.0.1 -o HostKey="$WORK/ssh/host" \
    -o AuthorizedKeysFile="$WORK/ssh/authorized_keys" -o PasswordAuthentication=no -o StrictModes=no \
    -o PermitRootLogin=yes -o UsePAM=no -o PidFile=none -o "Subsystem=sftp internal-sftp" 2>"$WORK/ssh/log" &
  SSHD_PID=$!
  SSH=(ssh -p "$PORT" -i "$WORK/ssh/user" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
       -o LogLevel=ERROR -o BatchMode=yes)
  for _ in $(seq 50); do "${SSH[@]}" 127.0.0.1 true 2>/dev/null && break; sleep 0.1; done
  "${SSH[@]}" 127.0.0.1 true || { echo "private sshd did not answer" >&2; cat "$WORK/ssh/log" >&2; SSH=(); }
else
  echo "sshd not installed: scp and rsync are left out" >&2
fi
RSH="${SSH[*]:-}"

# A folder of DELETED files made and emptied again, then written out: what the next program
# that makes files there finds. Every program's small files follow one of their own.
cat >"$WORK/emptied.py" <<'EOF'
import os, sys
d, n = sys.argv[1], int(sys.argv[2])
os.makedirs(d, exist_ok=True)
names = [os.path.join(d, 'e%06d' % i) for i in range(n)]
for name in names:
    os.close(os.open(name, os.O_WRONLY | os.O_CREAT, 0o644))
for name in names:
    os.unlink(name)
os.rmdir(d)
EOF
emptied_command() { echo "python3 '$WORK/emptied.py' '$OUT/emptied' $DELETED && sync"; }
emptied() { [ "$DELETED" -eq 0 ] || sh -c "$(emptied_command)"; }
# Runs a small-file copy only when there are small files (after the emptied folder, if asked),
# a large-file one only with a large file.
many() { [ "$FILES" -eq 0 ] || { emptied; "$@"; }; }
large() { [ "$MIB" -eq 0 ] || "$@"; }

# --- the rounds --------------------------------------------------------------------------------
declare -A T   # figure name -> its values, one per round
# The numbers among a figure's values; none (a row left out) is no failure.
numbers() { grep -E '^-?[0-9.]+$' || true; }
add() { T[$1]="${T[$1]:-} $2"; }
median() {
  tr ' ' '\n' <<<"${T[$1]:-}" | numbers | sort -g |
    awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)]; else print "-" }'
}
largest() { tr ' ' '\n' <<<"${T[$1]:-}" | numbers | sort -g | tail -1; }

# Each group of copies of one program; the order of the groups turns by one every round, so
# that none is always first after the inputs were written or always last on a warm machine.
group_cp() {
  large timed cp_big cp "$WORK/src/big.bin" "$OUT/cp.bin"
  many timed cp_many cp -r "$WORK/src/many" "$OUT/cp-many"
  rm -f "$OUT/cp.bin"
}
group_scp() {
  [ -n "$RSH" ] || return 0
  local scp=(scp -q -P "$PORT" -i "$WORK/ssh/user" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
             -o LogLevel=ERROR)
  large timed scp_big "${scp[@]}" "$WORK/src/big.bin" "127.0.0.1:$OUT/scp.bin"
  rm -f "$OUT/scp.bin"
  large timed scp_gcm "${scp[@]}" -c aes128-gcm@openssh.com "$WORK/src/big.bin" "127.0.0.1:$OUT/scp.bin"
  rm -f "$OUT/scp.bin"
  many timed scp_many "${scp[@]}" -r "$WORK/src/many" "127.0.0.1:$OUT/scp-many"
}
group_rsync() {
  [ -n "$RSH" ] || return 0
  [ "$MIB" -gt 0 ] || { many timed rs_many rsync -r -e "$RSH" "$WORK/src/many" "127.0.0.1:$OUT/rs-many"; return 0; }
  # -t keeps the times, so that the quick check that follows finds the copy up to date, as
  # it would for a user who copies a file a second time.
  timed rs_big rsync -t --whole-file -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/rs.bin"
  timed rs_c rsync -t -c -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/rs.bin"
  timed rs_mt rsync -t -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/rs.bin"
  rm -f "$OUT/rs.bin"
  # The same point as nusk's cut: half of the file is there; rsync finishes it, once sending
  # the rest after comparing blocks (--partial), once appending after checking what is there.
  head -c $((MIB * 1024 * 1024 / 2)) "$WORK/src/big.bin" >"$OUT/part.bin"
  timed rs_part rsync --partial -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/part.bin"
  head -c $((MIB * 1024 * 1024 / 2)) "$WORK/src/big.bin" >"$OUT/part.bin"
  timed rs_append rsync --append-verify -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/part.bin"
  rm -f "$OUT/part.bin"
  many timed rs_many rsync -r -e "$RSH" "$WORK/src/many" "127.0.0.1:$OUT/rs-many"
}
# nusk's run with the peer hosts of one bin folder; its figures' names start with `n` (this
# build) or `o` (the other build, OTHER_BUILD).
run_nusk() {
  local bin=$1 n=$2 peer before=""
  # Right before its small-file copy, after it wrote the files to copy, as for the tools.
  [ "$DELETED" -eq 0 ] || before=$(emptied_command)
  # Its files stay until the end, like the tools' (see the end of a round).
  # This build's bench_peercopy drives either build's peer hosts.
  peer=$(TMPDIR="$OUT" BENCH_KEEP_FILES=1 BENCH_BEFORE_SMALL="$before" NUSK_BIN_DIR="$bin" \
         "$BIN/bench_peercopy" "$MIB" "$FILES" 4 2>&1) ||
    { echo "$peer" >&2; exit 1; }
  num() { sed -n "$1" <<<"$peer" | head -1; }
  add ${n}_big "$(num 's/^copy [0-9.]* MB in \([0-9.]*\) s$/\1/p')"
  add ${n}_again "$(num 's/^identical re-copy: \([0-9.]*\) s.*/\1/p')"
  add ${n}_again_bytes "$(num 's/^identical re-copy: [0-9.]* s, \([0-9-]*\) bytes written$/\1/p')"
  add ${n}_resent "$(num 's/.* \([0-9-]*\) sent again, .*/\1/p')"
  add ${n}_after "$(num 's/.*done \([0-9.]*\) s after the link came back$/\1/p')"
  [ "$FILES" -eq 0 ] || add ${n}_many "$(num 's/^[0-9]* files of [0-9]* KiB in \([0-9.]*\) s$/\1/p')"
}
group_nusk() { run_nusk "$BIN" n; }
group_other() { run_nusk "$OTHER_BIN" o; }
group_listing() {
  [ "$MIB" -gt 0 ] || return 0
  local list
  add channel "$(sed -n 's/.*throughput: \([0-9.]*\) MB.*/\1/p' <<<"$("$BIN/bench_channel" 2>/dev/null | tail -1)")"
  [ "$FILES" -gt 0 ] || return 0
  list=$("$BIN/bench_vfslisting" 100000 2>/dev/null | tail -1)
  add list_model "$(sed -n 's/.*model \([0-9.]*\) ms.*/\1/p' <<<"$list")"
  add list_scan "$(sed -n 's/.*scan with stat \([0-9.]*\) ms.*/\1/p' <<<"$list")"
  add list_ratio "$(sed -n 's/.*ratio \([0-9.]*\).*/\1/p' <<<"$list")"
}
loadavg() { cut -d' ' -f1 /proc/loadavg; }

PROGRAMS=(cp scp rsync nusk listing)
[ -z "$OTHER_BIN" ] || PROGRAMS+=(other)
for ROUND in $(seq "$ROUNDS"); do
  OUT="$WORK/out$ROUND"
  mkdir -p "$OUT"
  order=()
  for k in "${!PROGRAMS[@]}"; do order+=("${PROGRAMS[$(((k + ROUND - 1) % ${#PROGRAMS[@]}))]}"); done
  add load "$(loadavg)"
  echo "round $ROUND: ${order[*]} (load $(loadavg))" >&2
  for group in "${order[@]}"; do "group_$group"; done
  add load "$(loadavg)"
  # The small files stay until the end: deleting tens of thousands of files just before
  # makes ext4 pass over their inodes while the next program makes its files, which a
  # program that came earlier did not have to.
done

lowest() { tr ' ' '\n' <<<"${T[$1]:-}" | numbers | sort -g | head -1; }
highest() { tr ' ' '\n' <<<"${T[$1]:-}" | numbers | sort -g | tail -1; }
# A figure as "median [lowest-highest]".
fig() { [ -n "$(median "$1")" ] && [ "$(median "$1")" != - ] && echo "$(median "$1") [$(lowest "$1")-$(highest "$1")]" || echo "-"; }

N_BIG=$(median n_big); N_AGAIN=$(median n_again); N_AFTER=$(median n_after); N_MANY=$(median n_many)
N_AGAIN_BYTES=$(largest n_again_bytes); N_RESENT=$(largest n_resent)

BYTES=$((MIB * 1024 * 1024))
speedup() { awk -v other="$1" -v ours="$2" 'BEGIN { if (other > 0 && ours > 0) printf "%.2fx", other / ours; else printf "-" }'; }
row() { printf '%-40s %s\n' "$1" "$2"; }

echo
echo "$MIB MiB, $FILES files of 4 KiB, $ROUNDS rounds; seconds as median [lowest-highest];"
[ "$DELETED" -eq 0 ] || echo "each program's small files right after $DELETED files were deleted there;"
echo "load average (1 min) over the rounds: $(fig load)"
echo
row "fresh copy: nusk" "$(fig n_big)"
row "  scp" "$(fig scp_big)"
row "  scp -c aes128-gcm" "$(fig scp_gcm)"
row "  rsync -t --whole-file" "$(fig rs_big)"
row "  cp" "$(fig cp_big)"
row "  tools alone, no flush: scp / rsync / cp" "$(median scp_big_alone) / $(median rs_big_alone) / $(median cp_big_alone)"
row "identical re-copy: nusk" "$(fig n_again)   (wrote at most $N_AGAIN_BYTES bytes)"
row "  rsync -t -c" "$(fig rs_c)"
row "  rsync -t (size+mtime quick check)" "$(fig rs_mt)"
row "resume from 50 %: nusk" "$(fig n_after)   (sent at most $N_RESENT bytes again of $BYTES)"
row "  rsync --partial" "$(fig rs_part)"
row "  rsync --append-verify" "$(fig rs_append)"
row "$FILES x 4 KiB: nusk" "$(fig n_many)"
row "  rsync -r" "$(fig rs_many)"
[ -z "$OTHER_BIN" ] || row "  nusk of $OTHER_BUILD" "$(fig o_many)"
row "  scp -r" "$(fig scp_many)"
row "  cp -r" "$(fig cp_many)"
row "  tools alone, no flush: scp / rsync / cp" "$(median scp_many_alone) / $(median rs_many_alone) / $(median cp_many_alone)"
row "listing 100,000 (ms): model" "$(fig list_model)"
row "  stat scan" "$(fig list_scan)"
row "raw channel (MB/s)" "$(fig channel)"
echo
echo "ratios of medians (other / nusk; above 1: nusk faster)"
echo "  fresh copy vs scp:               $(speedup "$(median scp_big)" "$N_BIG")   (target 2x)"
echo "  fresh copy vs scp aes128-gcm:    $(speedup "$(median scp_gcm)" "$N_BIG")   (target 2x)"
echo "  fresh copy vs rsync --whole-file: $(speedup "$(median rs_big)" "$N_BIG")"
echo "  fresh copy vs cp+sync:           $(speedup "$(median cp_big)" "$N_BIG")   (target 0.8x)"
echo "  re-copy vs rsync -c:             $(speedup "$(median rs_c)" "$N_AGAIN")"
echo "  re-copy vs rsync quick check:    $(speedup "$(median rs_mt)" "$N_AGAIN")   (target 1x)"
echo "  resume vs rsync --partial:       $(speedup "$(median rs_part)" "$N_AFTER")"
echo "  resume vs rsync --append-verify: $(speedup "$(median rs_append)" "$N_AFTER")   (target 1x)"
echo "  small files vs rsync -r:         $(speedup "$(median rs_many)" "$N_MANY")   (target 1.5x)"
echo "  small files vs cp -r:            $(speedup "$(median cp_many)" "$N_MANY")"
[ -z "$OTHER_BIN" ] || echo "  small files, other build vs rsync: $(speedup "$(median rs_many)" "$(median o_many)")"
echo
echo "nusk's figures end after its flush of what it wrote, the tools' after \`sync -f\` there."
echo
echo "each round:"
per_round() {
  local a=(${T[$1]:-}) b=(${T[$2]:-}) out="" k
  for k in "${!a[@]}"; do out="$out $(speedup "${a[$k]}" "${b[$k]:-}")"; done
  echo "$out"
}
echo "  fresh copy vs scp:               $(per_round scp_big n_big)"
echo "  fresh copy vs cp:                $(per_round cp_big n_big)"
echo "  re-copy vs rsync quick check:    $(per_round rs_mt n_again)"
echo "  resume vs rsync --append-verify: $(per_round rs_append n_after)"
echo "  small files vs rsync -r:         $(per_round rs_many n_many)"
[ -z "$OTHER_BIN" ] || echo "  other build's small files vs rsync: $(per_round rs_many o_many)"
echo "  load before/after each round:     ${T[load]:-}"
