#!/usr/bin/env bash
# The scripted demo of corvane-mirror: sets up the machine, builds, then plays
# a user on a fresh sync root while the mirror serves a temporary "server"
# folder into it. Where the cloud-files mount can be had (corvane-cloudfs and
# a usable /dev/fuse), the user works with plain programs on the mounted root
# (ls, cat, cp, echo, mkdir, mv, rm) and with corvane-client for states and
# pins; elsewhere (the Windows programs under Wine, say) with corvane-client
# alone. Every step checks what it shows; the last line sums up, and the exit
# code is 0 only when every step passed.
#
#   bash scripts/demo.sh                      set up, build, run
#   bash scripts/demo.sh --no-build BUILD     run with programs already built
#   bash scripts/demo.sh --installed          run the programs on PATH (the .deb's)
#   bash scripts/demo.sh --programs DIR       run DIR/corvane-mirror and DIR/corvane-client
#                                             (scripts/demo-windows.sh: the Windows ones under Wine)
#   --without-pin WHY                         leave out pin and unpin, saying why
#   --no-mount                                leave the root unmounted: corvane-client alone
#   --keep                                    keep the temporary folders
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=build
do_build=1
installed=0
programs=
without_pin=
no_mount=0
keep=0
while (($#)); do
  case "$1" in
    --no-build) do_build=0; build_dir="${2:?--no-build needs the build folder}"; shift 2 ;;
    --installed) do_build=0; installed=1; shift ;;
    --programs) do_build=0; programs="${2:?--programs needs a folder}"; shift 2 ;;
    --without-pin) without_pin="${2:?--without-pin needs the reason}"; shift 2 ;;
    --no-mount) no_mount=1; shift ;;
    --keep) keep=1; shift ;;
    *) echo "usage: bash scripts/demo.sh [--no-build BUILD_DIR | --installed | --programs DIR] [--without-pin WHY] [--no-mount] [--keep]" >&2; exit 2 ;;
  esac
done

if ((do_build)); then
  set -e
  bash scripts/setup-debian.sh
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  targets=(corvane-mirror corvane-client)
  # The mount is built where libfuse 3 is installed.
  cmake --build "$build_dir" --target help | grep -q ' corvane-cloudfs$' && targets+=(corvane-cloudfs)
  cmake --build "$build_dir" -j2 --target "${targets[@]}"
  set +e
fi
if [[ -n "$programs" ]]; then
  mirror_bin="$(cd "$programs" && pwd)/corvane-mirror"
  client_bin="$(cd "$programs" && pwd)/corvane-client"
elif ((installed)); then
  mirror_bin="$(command -v corvane-mirror)" || { echo "demo: corvane-mirror is not installed" >&2; exit 1; }
  client_bin="$(command -v corvane-client)" || { echo "demo: corvane-client is not installed" >&2; exit 1; }
else
  mirror_bin="$(cd "$build_dir" && pwd)/tools/mirror/corvane-mirror"
  client_bin="$(cd "$build_dir" && pwd)/tools/corvane-client/corvane-client"
fi
for bin in "$mirror_bin" "$client_bin"; do
  [[ -x "$bin" ]] || { echo "demo: $bin is not built" >&2; exit 1; }
done
# The user's programs: plain ones on the mounted root where the mount can be
# had, corvane-client where not (why_not says why).
cloudfs_bin=
why_not=
if ((no_mount)); then
  why_not="--no-mount was given"
elif [[ -n "$programs" ]]; then
  why_not="the programs given with --programs (the Windows ones under Wine, say) have no mount"
elif [[ ! -r /dev/fuse || ! -w /dev/fuse ]]; then
  why_not="no usable /dev/fuse"
else
  if ((installed)); then cloudfs_bin="$(command -v corvane-cloudfs)"
  else cloudfs_bin="$(cd "$build_dir" && pwd)/tools/cloudfs/corvane-cloudfs"; fi
  [[ -x "$cloudfs_bin" ]] || { why_not="corvane-cloudfs is not built (libfuse 3 missing)"; cloudfs_bin=; }
fi
on_mount=0

# ---- the embedded default: a temporary server with sample files, an empty root
work="$(mktemp -d "${TMPDIR:-/tmp}/corvane-demo.XXXXXX")"
server="$work/server"
root="$work/Cloud"
backing="$work/.Cloud.corvane-backing"  # where the mount keeps the root's items
log="$work/mirror.log"
# How Windows programs under Wine name $work (drive Z: is /), as a sed pattern.
work_wine="Z:${work//\//\\\\}"
mkdir -p "$server/docs" "$server/photos" "$root" "$work/state"
export CORVANE_STATE_DIR="$work/state"
export CORVANE_REQUEST_TIMEOUT_MS=20000
printf 'Welcome to the mirror demo.\nEvery file here lives in the server folder.\n' >"$server/readme.txt"
printf '# Notes\n- written on the server\n' >"$server/docs/notes.md"
head -c 3000000 /dev/urandom >"$server/docs/big.bin"
printf 'a picture, in spirit\n' >"$server/photos/cat.txt"
printf 'nobody reads this one\n' >"$server/docs/unread.txt"

mirror_pid=
cleanup() {
  if [[ -n "$mirror_pid" ]] && kill -0 "$mirror_pid" 2>/dev/null; then
    kill -INT "$mirror_pid"; wait "$mirror_pid" 2>/dev/null
  fi
  # A mount left by a failed step would outlive the folders under it.
  if [[ -n "$cloudfs_bin" ]] && mountpoint -q "$root" 2>/dev/null; then
    "$cloudfs_bin" unmount --restore "$root" >/dev/null 2>&1 || fusermount3 -u -z "$root" 2>/dev/null
  fi
  if ((keep)); then echo "demo: the folders are kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# ---- how steps are shown and checked
passed=0
failed=0
step_ok=1
bold=$'\e[1m'; green=$'\e[32m'; red=$'\e[31m'; plain=$'\e[0m'
[[ -t 1 ]] || { bold=; green=; red=; plain=; }

step() { step_ok=1; printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
# Runs a command as the user would type it, showing it and its output.
show() {
  printf '$ %s\n' "${*//$work/\$DEMO}"
  "$@" 2>&1 | sed "s#$work#\$DEMO#g; s#$work_wine#\$DEMO#g; s/^/    /"
  return "${PIPESTATUS[0]}"
}
client() { "$client_bin" "$@"; }
check() {  # check "what" command...: passes when the command succeeds
  local what="$1"; shift
  if "$@" >/dev/null 2>&1; then printf '   %sok%s   %s\n' "$green" "$plain" "$what"
  else printf '   %sFAIL%s %s\n' "$red" "$plain" "$what"; step_ok=0; fi
}
# Polls a condition for up to $1 seconds.
eventually() {
  local seconds="$1"; shift
  local end=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS >= end)) && return 1
    sleep 0.2
  done
}
end_step() { if ((step_ok)); then ((passed++)); else ((failed++)); fi; }
mirror_said() { grep -q -- "$1" "$log"; }
mirror_news() {  # what the mirror printed since the last call
  local lines; lines=$(wc -l <"$log")
  sed -n "$((${seen_lines:-0} + 1)),${lines}p" "$log" | sed "s#$work#\$DEMO#g; s#$work_wine#\$DEMO#g; s/^/    mirror| /"
  seen_lines=$lines
}
# Shows a command line as the user types it (redirections and all), then
# runs it.
typed() {
  printf '$ %s\n' "${1//$work/\$DEMO}"
  { eval "$1"; } 2>&1 | sed "s#$work#\$DEMO#g; s/^/    /"
  return "${PIPESTATUS[0]}"
}
state_has() { client state "$1" | grep -q -- "$2"; }
same_bytes() { cmp -s "$1" "$2"; }
# What the user's programs see.
read_equals() {
  if ((on_mount)); then cmp -s "$1" "$2"; else client read "$1" | cmp -s - "$2"; fi
}
listing_has() {
  if ((on_mount)); then ls -A "$1" | grep -qx -- "$2"; else client list "$1" | grep -q -- "$2"; fi
}

echo "demo: server folder $server"
echo "demo: sync root     $root"

# 1 ---------------------------------------------------------------------------
step "Start the mirror provider: it installs and activates the sync root"
show ls -R "$server"
# With CORVANE_CLOUDFS the mirror's registration mounts the root.
[[ -n "$cloudfs_bin" ]] && export CORVANE_CLOUDFS="$cloudfs_bin"
"$mirror_bin" --server "$server" --root "$root" --label "Demo cloud" --poll-ms 300 >"$log" 2>&1 &
mirror_pid=$!
check "the mirror says it is serving" eventually 20 mirror_said "serving"
check "the root is a registered sync root" eventually 5 state_has "$root" "sync root: $root"
if [[ -n "$cloudfs_bin" ]]; then
  if mountpoint -q "$root"; then
    on_mount=1
  else
    why_not=$(grep -o 'the cloud-files mount is not available (.*)' "$log" | head -n 1)
    why_not=${why_not:-the root was not mounted}
  fi
fi
if ((on_mount)); then
  echo "demo: the root is mounted: the user works with ls, cat, cp, echo, mkdir, mv and rm on it,"
  echo "      and with corvane-client for states and pins"
  check "nothing was fetched yet: the root's hidden folder is empty on disk" test -z "$(ls -A "$backing")"
else
  echo "demo: the user works with corvane-client alone: ${why_not//$work/\$DEMO}"
  check "nothing was fetched yet: the root folder is empty on disk" test -z "$(ls -A "$root")"
fi
mirror_news
end_step

# 2 ---------------------------------------------------------------------------
step "An application lists the root and a folder: placeholders appear on demand"
if ((on_mount)); then
  show ls "$root"
  show ls -l "$root/docs"
else
  show client list "$root"
  show client list "$root/docs"
fi
check "the root shows the server's top level" eventually 5 listing_has "$root" "readme.txt"
docs_listed() { listing_has "$root/docs" notes.md && listing_has "$root/docs" big.bin; }
check "docs/ shows notes.md and big.bin" docs_listed
check "big.bin is a placeholder of the full size with no data yet" \
  bash -c "'$client_bin' state '$root/docs/big.bin' | grep -q 'size: 3000000' && '$client_bin' state '$root/docs/big.bin' | grep -q 'hydrated: none'"
mirror_news
end_step

# 3 ---------------------------------------------------------------------------
step "Reading a file hydrates it: the mirror sends the bytes from the server"
if ((on_mount)); then
  show cat "$root/readme.txt"
  typed "cp $root/docs/big.bin $work/big.copy"
else
  show client read "$root/readme.txt"
  client read "$root/docs/big.bin" >"$work/big.copy"
  printf '$ corvane-client read $DEMO/Cloud/docs/big.bin > big.copy\n'
fi
check "readme.txt reads as on the server" read_equals "$root/readme.txt" "$server/readme.txt"
check "big.bin (3 MB, in chunks) reads byte for byte as on the server" same_bytes "$work/big.copy" "$server/docs/big.bin"
check "big.bin is now fully on disk" state_has "$root/docs/big.bin" "(complete)"
check "the mirror showed progress for the long transfer" mirror_said "docs/big.bin: .* of "
mirror_news
end_step

# 4 ---------------------------------------------------------------------------
step "Files written locally arrive on the server"
head -c 1100000 /dev/urandom >"$work/local.bin"
if ((on_mount)); then
  cp "$server/readme.txt" "$work/readme.expected"
  echo 'a line added locally' >>"$work/readme.expected"
  typed "echo 'Hello from the sync root' > $root/hello.txt"
  typed "echo 'a line added locally' >> $root/readme.txt"
  show mkdir "$root/drafts"
  typed "cp $work/local.bin $root/local.bin      # 1.1 MB"
else
  printf 'readme rewritten locally' >"$work/readme.expected"
  show client create "$root/hello.txt" --data "Hello from the sync root"
  show client write "$root/readme.txt" --data "readme rewritten locally"
  show client mkdir "$root/drafts"
  echo '$ corvane-client create $DEMO/Cloud/local.bin < local.bin      (1.1 MB)'
  client create "$root/local.bin" <"$work/local.bin"
fi
check "hello.txt is on the server, same bytes" eventually 15 read_equals "$root/hello.txt" "$server/hello.txt"
check "the server's readme.txt has the local change" eventually 15 same_bytes "$work/readme.expected" "$server/readme.txt"
check "the new folder drafts/ exists on the server" eventually 15 test -d "$server/drafts"
check "local.bin (1.1 MB) is on the server, same bytes" eventually 15 same_bytes "$work/local.bin" "$server/local.bin"
check "hello.txt is in sync after the upload" eventually 10 state_has "$root/hello.txt" "in-sync: yes"
mirror_news
end_step

# 5 ---------------------------------------------------------------------------
step "Local renames and deletes reach the server"
if ((on_mount)); then
  show ls "$root/photos"
  show mv "$root/hello.txt" "$root/drafts/hello.txt"
  show rm "$root/photos/cat.txt"
else
  show client list "$root/photos"
  show client rename "$root/hello.txt" "$root/drafts/hello.txt"
  show client delete "$root/photos/cat.txt"
fi
check "hello.txt moved to drafts/ on the server" eventually 15 bash -c "test -f '$server/drafts/hello.txt' && ! test -e '$server/hello.txt'"
check "cat.txt is gone from the server" eventually 15 bash -c "! test -e '$server/photos/cat.txt'"
mirror_news
end_step

# 6 ---------------------------------------------------------------------------
step "Changes made on the server arrive in the sync root"
printf '# Notes\n- edited on the server\n' >"$server/docs/notes.md"
printf 'fresh from the server\n' >"$server/docs/news.txt"
mv "$server/photos" "$server/pictures"
echo '$ (on the server) edit docs/notes.md, add docs/news.txt, rename photos/ to pictures/'
check "the new server file appears in docs/" eventually 15 listing_has "$root/docs" "news.txt"
check "news.txt reads as on the server" read_equals "$root/docs/news.txt" "$server/docs/news.txt"
check "notes.md reads with the server's edit" eventually 15 read_equals "$root/docs/notes.md" "$server/docs/notes.md"
check "photos/ was renamed to pictures/ locally" eventually 15 bash -c "test -d '$root/pictures' && ! test -e '$root/photos'"
rm -rf "$server/pictures"
echo '$ (on the server) delete pictures/'
check "pictures/ was deleted locally" eventually 15 bash -c "! test -e '$root/pictures'"
if ((on_mount)); then show ls "$root/docs"; else show client list "$root/docs"; fi
mirror_news
end_step

# 7 ---------------------------------------------------------------------------
step "Pin keeps a file on this device; unpin lets it go online-only"
printf 'pinned content\n' >"$server/pinme.txt"
check "the server's new pinme.txt shows up" eventually 15 listing_has "$root" "pinme.txt"
if [[ -n "$without_pin" ]]; then
  printf '   skip pin and unpin: %s\n' "$without_pin"
else
  show client pin "$root/pinme.txt"
  check "pinning fetched the whole file" eventually 15 state_has "$root/pinme.txt" "(complete)"
  check "its pin state is pinned" state_has "$root/pinme.txt" "pin: pinned"
  show client unpin "$root/pinme.txt"
  check "unpinning dropped the local data" eventually 15 state_has "$root/pinme.txt" "hydrated: none"
  check "it still reads as on the server (hydrated again)" read_equals "$root/pinme.txt" "$server/pinme.txt"
fi
mirror_news
end_step

# 8 ---------------------------------------------------------------------------
step "Statuses: what the platform knows about each item"
show client state "$root/docs/big.bin"
show client state "$root/docs/unread.txt"
show client state "$root/docs"
show client state "$root/drafts/hello.txt"
check "big.bin: placeholder, in sync, complete" \
  bash -c "'$client_bin' state '$root/docs/big.bin' | grep -q 'in-sync: yes' && '$client_bin' state '$root/docs/big.bin' | grep -q complete"
check "unread.txt: placeholder, in sync, no data on disk" \
  bash -c "'$client_bin' state '$root/docs/unread.txt' | grep -q 'in-sync: yes' && '$client_bin' state '$root/docs/unread.txt' | grep -q 'hydrated: none'"
check "docs/: a populated placeholder folder" state_has "$root/docs" "populated: yes"
check "drafts/hello.txt: uploaded and in sync" state_has "$root/drafts/hello.txt" "in-sync: yes"
end_step

# 9 ---------------------------------------------------------------------------
step "Ctrl-C deactivates the provider; the registration stays"
echo '$ kill -INT <mirror>'
kill -INT "$mirror_pid"
wait "$mirror_pid"
mirror_rc=$?
mirror_pid=
mirror_news
check "the mirror exited with code 0" test "$mirror_rc" -eq 0
check "it said it deactivated" mirror_said "deactivated"
check "the root is still registered" state_has "$root" "sync root: $root"
check "data already on disk still reads" read_equals "$root/docs/big.bin" "$server/docs/big.bin"
if ((on_mount)); then
  show cat "$root/docs/unread.txt"
  check "data not on disk fails at once instead of reading as zeros" bash -c "test -f '$root/docs/unread.txt' && ! timeout 10 cat '$root/docs/unread.txt' >/dev/null"
else
  show client read "$root/docs/unread.txt"
  check "data not on disk fails at once instead of waiting" bash -c "test -f '$root/docs/unread.txt' && ! timeout 10 '$client_bin' read '$root/docs/unread.txt'"
fi
end_step

# 10 --------------------------------------------------------------------------
step "Uninstall removes the registration and leaves the files"
show "$mirror_bin" uninstall --root "$root"
check "the root is no longer a sync root" state_has "$root" "sync root: (none)"
if ((on_mount)); then
  check "the mount ended: the root is a plain folder with its items again" \
    bash -c "! mountpoint -q '$root' && ! test -e '$backing'"
fi
check "hydrated files are still there" same_bytes "$root/docs/big.bin" "$server/docs/big.bin"
end_step

echo
echo "demo: $passed passed, $failed failed"
((failed == 0))
