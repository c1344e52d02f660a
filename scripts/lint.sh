#!/usr/bin/env bash
# Lint: clang-format in check mode (.clang-format) and clang-tidy (.clang-tidy).
#
#   scripts/lint.sh [--base REV] [--all] [--build DIR] [--jobs N] [--format-only | --tidy-only] [FILE...]
#
# Without --all or FILEs it checks the C++ files changed against REV (default
# origin/main when it exists, else HEAD~1), uncommitted and untracked ones
# included. A changed header is checked with clang-tidy through the
# translation units that include it. --all checks every C++ file of the tree.
# clang-tidy needs DIR/compile_commands.json (default build/; the top
# CMakeLists.txt sets CMAKE_EXPORT_COMPILE_COMMANDS): configure first with
# `cmake -S . -B build -G Ninja` or scripts/build.sh.
#
# Exit status: 0 clean, 1 findings, 2 usage error or a tool or file missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

base="" all=0 build="build" jobs="" do_format=1 do_tidy=1 files=()
while (($#)); do
  case "$1" in
    --base) base="${2:?--base needs a revision}"; shift 2 ;;
    --all) all=1; shift ;;
    --build) build="${2:?--build needs a folder}"; shift 2 ;;
    --jobs|-j) jobs="${2:?--jobs needs a number}"; shift 2 ;;
    --format-only) do_tidy=0; shift ;;
    --tidy-only) do_format=0; shift ;;
    -h|--help) sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "lint: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
  esac
done
[[ -n "$jobs" ]] || jobs=$(( $(nproc) > 1 ? $(nproc) / 2 : 1 ))

find_tool() {
  local t
  for t in "$1" "$1-14"; do
    if command -v "$t" >/dev/null 2>&1; then command -v "$t"; return 0; fi
  done
  echo "lint: $1 not found; scripts/install_deps.sh installs it" >&2
  return 1
}

# The C++ files in question, relative to the root.
dirs=(src include app sim tools bench fuzz tests)
if ((${#files[@]})); then
  :
elif ((all)); then
  mapfile -t files < <(git ls-files -- "${dirs[@]}" | grep -E '\.(cpp|h)$')
else
  if [[ -z "$base" ]]; then
    if git rev-parse -q --verify origin/main >/dev/null; then base=origin/main; else base=HEAD~1; fi
  fi
  git rev-parse -q --verify "$base^{commit}" >/dev/null || { echo "lint: no revision $base" >&2; exit 2; }
  mapfile -t files < <({ git diff --name-only --diff-filter=ACMR "$base" -- "${dirs[@]}";
                         git ls-files --others --exclude-standard -- "${dirs[@]}"; } | grep -E '\.(cpp|h)$' | sort -u)
  echo "lint: ${#files[@]} changed C++ file(s) against $base"
fi
existing=()
for f in "${files[@]}"; do [[ -f "$f" ]] && existing+=("$f"); done
files=("${existing[@]+"${existing[@]}"}")
((${#files[@]})) || { echo "lint: nothing to check"; exit 0; }

status=0

if ((do_format)); then
  clang_format=$(find_tool clang-format) || exit 2
  bad=()
  for f in "${files[@]}"; do
    "$clang_format" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if ((${#bad[@]})); then
    echo "clang-format: ${#bad[@]} of ${#files[@]} file(s) not formatted:"
    printf '  %s\n' "${bad[@]}"
    echo "  see the changes: clang-format FILE | diff FILE -    apply them: clang-format -i FILE"
    status=1
  else
    echo "clang-format: ${#files[@]} file(s) formatted"
  fi
fi

if ((do_tidy)); then
  clang_tidy=$(find_tool clang-tidy) || exit 2
  db="$build/compile_commands.json"
  [[ -f "$db" ]] || { echo "lint: $db missing: configure first (cmake -S . -B $build -G Ninja)" >&2; exit 2; }
  mapfile -t units < <(python3 - "$db" "$root" "${files[@]}" <<'EOF'
import json, os, re, sys
db, root, files = sys.argv[1], sys.argv[2], sys.argv[3:]
units = sorted({os.path.relpath(e["file"], root) for e in json.load(open(db))
                if os.path.realpath(e["file"]).startswith(root + "/")})
known = set(units)
out, texts = [], {}
for f in files:
    if f in known:
        out.append(f)
    elif f.endswith(".cpp"):
        print(f"lint: {f} is not in {db} (not built there, or re-run cmake)", file=sys.stderr)
    elif f.endswith(".h"):
        # The translation units that include the header, by the name they use.
        parts = f.split("/")
        if parts[0] == "include":                      # <nel/room/x.h>
            rx = r'#\s*include\s*<' + re.escape("/".join(parts[1:])) + '>'
        elif parts[0] == "src":                        # "room/x.h"
            rx = r'#\s*include\s*"' + re.escape("/".join(parts[1:])) + '"'
        else:                                          # "x.h" beside it
            rx = r'#\s*include\s*"(.*/)?' + re.escape(parts[-1]) + '"'
        rx = re.compile(rx)
        users = []
        for u in units:
            if u not in texts:
                try:
                    texts[u] = open(os.path.join(root, u), errors="replace").read()
                except OSError:
                    texts[u] = ""
            if rx.search(texts[u]):
                users.append(u)
        if not users:
            print(f"lint: no translation unit includes {f}; clang-tidy skips it", file=sys.stderr)
        # Its own room's units suffice when there are any; else at most three.
        inside = [u for u in users if u.startswith("src/")]
        out.extend(inside or users[:3])
print("\n".join(sorted(set(out))))
EOF
  )
  units=("${units[@]+"${units[@]}"}")
  if ((${#units[@]} == 0)) || [[ -z "${units[0]}" ]]; then
    echo "clang-tidy: no translation unit to check"
  else
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    start=$(date +%s)
    printf '%s\n' "${units[@]}" | xargs -P "$jobs" -I{} sh -c \
      '"$1" -p "$2" --quiet --extra-arg=-Wno-error --extra-arg=-Wno-unknown-warning-option "$3" \
         > "$4/$(echo "$3" | tr / _).out" 2>/dev/null || true' _ "$clang_tidy" "$build" {} "$tmp"
    # Headers seen through the rooms' include roots are named by their sources;
    # a header's findings appear once however many units include it.
    cat "$tmp"/*.out 2>/dev/null \
      | grep -E ': (warning|error|note): ' \
      | sed -E "s#^$root/##; s#^[^:]*/rooms/[a-z]+/nel/#include/nel/#; s#^[^:]*/rooms/[a-z]+/([a-z]+)/#src/\1/#" \
      | awk '!seen[$0]++' > "$tmp/all" || true
    # Checking some files: only their own findings, not those of every header they include.
    if ((all)); then
      cp "$tmp/all" "$tmp/findings"
    else
      printf '%s:\n' "${files[@]}" > "$tmp/mine"
      grep -F -f "$tmp/mine" "$tmp/all" > "$tmp/findings" || true
    fi
    count=$(grep -cE ': (warning|error): ' "$tmp/findings" || true)
    if ((count)); then
      cat "$tmp/findings"
      echo "clang-tidy: $count finding(s) in ${#units[@]} translation unit(s) ($(( $(date +%s) - start )) s)"
      status=1
    else
      echo "clang-tidy: ${#units[@]} translation unit(s) clean ($(( $(date +%s) - start )) s)"
    fi
  fi
fi

exit "$status"
