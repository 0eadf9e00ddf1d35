#!/usr/bin/env bash
# Peak memory (maximum resident set size, from /usr/bin/time -v) of tollcount on a 20 MB and a
# 1 GB file of each kind: NUL bytes (read to the end by detection), PostScript, and the same
# PostScript counted as plain text (read to the end) and read from standard input. The files
# are made in the temporary folder and kept for the next run. Fails when a kind's two peaks
# differ by more than 1 MB.
#   bash bench/peak_memory.sh [build/bin/tollcount]
set -euo pipefail
cd "$(dirname "$0")/.."
tool="${1:-build/bin/tollcount}"
tmp="${TMPDIR:-/tmp}"
[ -x "$tool" ] || { echo "no $tool: run scripts/build first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "no /usr/bin/time: run scripts/setup first" >&2; exit 2; }

make_files() {  # size in MB, name
  local mb=$1 name=$2
  local zeros="$tmp/tollgate-peak-$name.zero" ps="$tmp/tollgate-peak-$name.ps"
  if [ "$(stat -c %s "$zeros" 2>/dev/null || echo 0)" != $((mb << 20)) ]; then
    head -c $((mb << 20)) /dev/zero >"$zeros"
  fi
  if [ "$(stat -c %s "$ps" 2>/dev/null || echo 0)" -lt $((mb << 20)) ]; then
    python3 - "$ps" $((mb << 20)) <<'PY'
import sys
path, size = sys.argv[1], int(sys.argv[2])
page = "".join("72 %d moveto (The quick brown fox jumps over the lazy dog) show\n" % (720 - 11 * k)
               for k in range(60)) + "showpage\n"
with open(path, "w") as out:
    out.write("%!PS-Adobe-3.0\n%%Pages: (atend)\n%%EndComments\n")
    n, written = 0, 0
    while written < size:
        n += 1
        chunk = "%%%%Page: %d %d\n%s" % (n, n, page)
        out.write(chunk)
        written += len(chunk)
    out.write("%%%%Trailer\n%%%%Pages: %d\n%%%%EOF\n" % n)
PY
  fi
}

peak() {  # command... -> peak RSS in kB (the command's exit status does not matter here)
  { /usr/bin/time -v "$@" 2>&1 >/dev/null || true; } | awk -F': ' '/Maximum resident set size/ {print $2}'
}

make_files 20 20M
make_files 1024 1G
status=0
printf '%-22s %12s %12s %10s\n' "input" "20 MB (kB)" "1 GB (kB)" "difference"
for kind in zero ps text stdin; do
  row=()
  for name in 20M 1G; do
    case $kind in
      zero) kb=$(peak "$tool" --json "$tmp/tollgate-peak-$name.zero") ;;
      ps) kb=$(peak "$tool" --json "$tmp/tollgate-peak-$name.ps") ;;
      text) kb=$(peak "$tool" --json --text "$tmp/tollgate-peak-$name.ps") ;;
      stdin) kb=$(peak sh -c "exec \"$tool\" --json --text - <\"$tmp/tollgate-peak-$name.ps\"") ;;
    esac
    row+=("$kb")
  done
  diff=$((row[1] - row[0]))
  printf '%-22s %12s %12s %10s\n' "$kind" "${row[0]}" "${row[1]}" "$diff"
  if [ "${diff#-}" -gt 1024 ]; then status=1; fi
done
exit $status
