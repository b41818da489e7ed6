#!/usr/bin/env bash
# Every option a program's --help lists (and every command of velmora-cli) appears in its man page,
# and every long option the man page names is one --help lists: the two cannot drift apart.
#   man_pages_match_help.sh MAN_DIR PROGRAM...
set -uo pipefail
man_dir=$1
shift
failed=0
for program in "$@"; do
  name=$(basename "$program")
  page="$man_dir/$name.1"
  if [ ! -f "$page" ]; then
    echo "FAIL $name: no man page $page"
    failed=1
    continue
  fi
  if ! help=$(env -u DISPLAY HOME="$(mktemp -d)" "$program" --help 2>&1); then
    echo "FAIL $name: --help failed: $help"
    failed=1
    continue
  fi
  # The page as text: roff's \- is a hyphen, font changes \fB \fI \fR \fP go.
  text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
  tokens() { grep -oE -- '(^|[^A-Za-z0-9-])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]+//' | sort -u; }
  has() { grep -qE -- "(^|[^A-Za-z0-9-])$1([^A-Za-z0-9-]|\$)" <<<"$2"; }
  for option in $(tokens <<<"$help"); do
    has "$option" "$text" || { echo "FAIL $name: $option is in --help but not in $page"; failed=1; }
  done
  for option in $(tokens <<<"$text" | grep -E '^--'); do
    has "$option" "$help" || { echo "FAIL $name: $option is in $page but not in --help"; failed=1; }
  done
  # velmora-cli: the command words (the lines of the "commands:" block).
  for command in $(sed -n '/^commands:/,$p' <<<"$help" | grep -oE '^  [a-z][a-z-]+' ); do
    grep -qE -- "^\.B[IR]* $command( |\$)" <<<"$text" || { echo "FAIL $name: command $command is not in $page"; failed=1; }
  done
done
[ "$failed" -eq 0 ] && echo "man pages match --help: $*"
exit "$failed"
