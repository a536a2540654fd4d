#!/usr/bin/env bash
# Copies as a user would otherwise make them, side by side in one run: nusk (two peer hosts
# on loopback, bench_peercopy) against scp, rsync over ssh and cp, for a fresh large file, an
# identical re-copy, a resume after a cut at 50 %, many small files, plus the big-folder
# listing against a stat scan and the raw channel. Prints the figures and the ratios.
#
#   bench/copy_vs_tools.sh [build dir] [MiB] [files] [rounds]   defaults: build 1024 10000 3
#   (all files go under $TMPDIR, default /tmp: the file system measured)
#
# Everything is measured `rounds` times, each round all tools and then nusk; the table shows
# each figure's median, and the ratios of each round follow: on a shared machine one round's
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
ROUNDS=${4:-3}
BIN=$(cd "$BUILD/bin" && pwd)
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

# --- the rounds --------------------------------------------------------------------------------
declare -A T   # figure name -> its values, one per round
add() { T[$1]="${T[$1]:-} $2"; }
median() {
  tr ' ' '\n' <<<"${T[$1]:-}" | grep -E '^-?[0-9.]+$' | sort -g |
    awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)]; else print "-" }'
}
largest() { tr ' ' '\n' <<<"${T[$1]:-}" | grep -E '^-?[0-9]+$' | sort -g | tail -1; }

for ROUND in $(seq "$ROUNDS"); do
  OUT="$WORK/out$ROUND"
  mkdir -p "$OUT"
  timed cp_big cp "$WORK/src/big.bin" "$OUT/cp.bin"
  timed cp_many cp -r "$WORK/src/many" "$OUT/cp-many"
  if [ -n "$RSH" ]; then
    SCP=(scp -q -P "$PORT" -i "$WORK/ssh/user" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR)
    timed scp_big "${SCP[@]}" "$WORK/src/big.bin" "127.0.0.1:$OUT/scp.bin"
    timed scp_many "${SCP[@]}" -r "$WORK/src/many" "127.0.0.1:$OUT/scp-many"
    timed rs_big rsync --whole-file -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/rs.bin"
    timed rs_c rsync -c -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/rs.bin"
    timed rs_mt rsync -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/rs.bin"
    # The same point as nusk's cut: half of the file is there; rsync finishes it.
    head -c $((MIB * 1024 * 1024 / 2)) "$WORK/src/big.bin" >"$OUT/part.bin"
    timed rs_part rsync --partial -e "$RSH" "$WORK/src/big.bin" "127.0.0.1:$OUT/part.bin"
    timed rs_many rsync -r -e "$RSH" "$WORK/src/many" "127.0.0.1:$OUT/rs-many"
  fi
  # The tools' many small files stay until the end: deleting tens of thousands of files just
  # before makes ext4 pass over their inodes while nusk makes its files (for a minute or
  # more), which the tools did not have to. Their large files go, so that nusk's copies, like
  # the tools', do not start with gigabytes more in the page cache to evict.
  rm -f "$OUT"/*.bin
  PEER=$("$BIN/bench_peercopy" "$MIB" "$FILES" 4 2>&1) || { echo "$PEER" >&2; exit 1; }
  num() { sed -n "$1" <<<"$PEER" | head -1; }
  add n_big "$(num 's/^copy [0-9.]* MB in \([0-9.]*\) s$/\1/p')"
  add n_again "$(num 's/^identical re-copy: \([0-9.]*\) s.*/\1/p')"
  add n_again_bytes "$(num 's/^identical re-copy: [0-9.]* s, \([0-9-]*\) bytes written$/\1/p')"
  add n_resent "$(num 's/.* \([0-9-]*\) sent again, .*/\1/p')"
  add n_after "$(num 's/.*done \([0-9.]*\) s after the link came back$/\1/p')"
  add n_many "$(num 's/^[0-9]* files of [0-9]* KiB in \([0-9.]*\) s$/\1/p')"
  LIST=$("$BIN/bench_vfslisting" 100000 2>/dev/null | tail -1)
  add list_model "$(sed -n 's/.*model \([0-9.]*\) ms.*/\1/p' <<<"$LIST")"
  add list_scan "$(sed -n 's/.*scan with stat \([0-9.]*\) ms.*/\1/p' <<<"$LIST")"
  add list_ratio "$(sed -n 's/.*ratio \([0-9.]*\).*/\1/p' <<<"$LIST")"
  add channel "$(sed -n 's/.*throughput: \([0-9.]*\) MB.*/\1/p' <<<"$("$BIN/bench_channel" 2>/dev/null | tail -1)")"
done

CP_BIG=$(median cp_big); CP_MANY=$(median cp_many)
SCP_BIG=$(median scp_big); SCP_MANY=$(median scp_many)
RS_BIG=$(median rs_big); RS_C=$(median rs_c); RS_MT=$(median rs_mt); RS_PART=$(median rs_part)
RS_MANY=$(median rs_many)
N_BIG=$(median n_big); N_AGAIN=$(median n_again); N_AFTER=$(median n_after); N_MANY=$(median n_many)
N_AGAIN_BYTES=$(largest n_again_bytes); N_RESENT=$(largest n_resent)

BYTES=$((MIB * 1024 * 1024))
mbs() { awk -v s="$1" -v b="$BYTES" 'BEGIN { if (s > 0) printf "%.0f", b / 1e6 / s; else printf "-" }'; }
fps() { awk -v s="$1" -v n="$FILES" 'BEGIN { if (s > 0) printf "%.0f", n / s; else printf "-" }'; }
speedup() { awk -v other="$1" -v ours="$2" 'BEGIN { if (other > 0 && ours > 0) printf "%.2fx", other / ours; else printf "-" }'; }

printf '\n%-30s %10s %10s %10s %10s\n' "work" "nusk" "scp" "rsync/ssh" "cp"
printf '%-30s %10s %10s %10s %10s\n' "${MIB} MiB fresh (s)" "$N_BIG" "$SCP_BIG" "$RS_BIG" "$CP_BIG"
printf '%-30s %10s %10s %10s %10s\n' "  MB/s" "$(mbs "$N_BIG")" "$(mbs "$SCP_BIG")" "$(mbs "$RS_BIG")" "$(mbs "$CP_BIG")"
printf '%-30s %10s %10s %10s %10s\n' "  tool alone, no flush (s)" "" "$(median scp_big_alone)" "$(median rs_big_alone)" "$(median cp_big_alone)"
printf '%-30s %10s %10s %10s %10s\n' "identical re-copy (s)" "$N_AGAIN" "-" "$RS_C (-c)" "-"
printf '%-30s %10s %10s %10s %10s\n' "  size+mtime rsync (s)" "" "" "$RS_MT" ""
printf '%-30s %10s %10s %10s %10s\n' "resume from 50 % (s)" "$N_AFTER" "-" "$RS_PART" "-"
printf '%-30s %10s %10s %10s %10s\n' "$FILES x 4 KiB (s)" "$N_MANY" "$SCP_MANY" "$RS_MANY" "$CP_MANY"
printf '%-30s %10s %10s %10s %10s\n' "  files/s" "$(fps "$N_MANY")" "$(fps "$SCP_MANY")" "$(fps "$RS_MANY")" "$(fps "$CP_MANY")"
printf '%-30s %10s %10s %10s %10s\n' "  tool alone, no flush (s)" "" "$(median scp_many_alone)" "$(median rs_many_alone)" "$(median cp_many_alone)"
echo
echo "ratios (above 1: nusk faster)"
echo "  fresh copy vs scp:           $(speedup "$SCP_BIG" "$N_BIG")   (target 1.5x)"
echo "  fresh copy vs rsync:         $(speedup "$RS_BIG" "$N_BIG")"
echo "  fresh copy vs cp:            $(speedup "$CP_BIG" "$N_BIG")"
echo "  fresh copy vs scp, no flush: $(speedup "$(median scp_big_alone)" "$N_BIG")   (scp's data may still be in memory only)"
echo "  re-copy vs rsync -c:         $(speedup "$RS_C" "$N_AGAIN")   (target 1x; nusk wrote $N_AGAIN_BYTES bytes)"
echo "  resume vs rsync --partial:   $(speedup "$RS_PART" "$N_AFTER")   (target 1x; $N_RESENT bytes sent again of $BYTES)"
echo "  small files vs rsync -r:     $(speedup "$RS_MANY" "$N_MANY")   (target 1x)"
echo "  small files vs scp -r:       $(speedup "$SCP_MANY" "$N_MANY")"
echo "  small files vs rsync -r, no flush: $(speedup "$(median rs_many_alone)" "$N_MANY")"
echo "listing: model $(median list_model) ms, stat scan $(median list_scan) ms, ratio $(median list_ratio)   (target: ratio at most 3)"
echo "raw channel: $(median channel) MB/s   (target 1500 MB/s)"
echo
echo "nusk's figures end after its flush of the destination, the tools' after \`sync -f\` there."
echo
echo "each round (medians above; nusk wrote at most $N_AGAIN_BYTES bytes on a re-copy, sent at most $N_RESENT again):"
per_round() {
  local a=(${T[$1]:-}) b=(${T[$2]:-}) out="" k
  for k in "${!a[@]}"; do out="$out $(speedup "${a[$k]}" "${b[$k]:-}")"; done
  echo "$out"
}
echo "  fresh copy vs scp:          $(per_round scp_big n_big)"
echo "  re-copy vs rsync -c:        $(per_round rs_c n_again)"
echo "  resume vs rsync --partial:  $(per_round rs_part n_after)"
echo "  small files vs rsync -r:    $(per_round rs_many n_many)"
echo "  listing ratio:               ${T[list_ratio]:-}"
echo "  raw channel (MB/s):          ${T[channel]:-}"
