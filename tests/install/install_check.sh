#!/usr/bin/env bash
# Checks an installed OrvekData the way a desktop and man find it: the programs, the
# menu and viewer entries, the icon they name, the .dat type and its handler (asked of
# both xdg-mime and GIO, with every XDG folder in a temporary place), the manual page.
#   install_check.sh --build BUILD   install BUILD into a temporary prefix and check it
#   install_check.sh PREFIX          check an installed tree (a .deb unpacked: ROOT/usr);
#                                    the MIME and desktop caches are made in it
# Exit code 0 when everything holds, 1 when anything does not, 77 when a tool the checks
# need is missing (scripts/setup.sh installs them all).
# ok only prints, so "test && ok || fail" is an if-then-else here.
# shellcheck disable=SC2015
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

tools=(desktop-file-validate update-desktop-database update-mime-database xdg-mime mimetype
  gio man xmllint)
for tool in "${tools[@]}"; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (bash scripts/setup.sh installs it)"
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [[ ${1:-} == --build ]]; then
  prefix=$work/prefix
  "${CMAKE:-cmake}" --install "$2" --prefix "$prefix" >"$work/install.log" || {
    cat "$work/install.log"
    exit 1
  }
elif [[ -n ${1:-} ]]; then
  prefix=$(cd "$1" && pwd)
else
  echo "usage: $0 --build BUILD | PREFIX" >&2
  exit 2
fi
share=$prefix/share
type=application/x-orvekdata-dat

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

# Nothing of the user's environment may answer for the installed files.
mkdir -p "$work/home" "$work/config-dirs" "$work/files"
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_CONFIG_HOME=$work/home/.config
export XDG_CONFIG_DIRS=$work/config-dirs XDG_DATA_DIRS=$share:/usr/share
export XDG_CURRENT_DESKTOP=X-Generic PATH=$prefix/bin:$PATH
unset DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID MATE_DESKTOP_SESSION_ID
unset DISPLAY WAYLAND_DISPLAY XDG_MENU_PREFIX

# --- The programs: in place, and they run from there (system libraries only).
for program in orvekdata orvek-metersim; do
  [[ -f $prefix/bin/$program && -x $prefix/bin/$program ]] || fail "bin/$program is not an executable file"
done
version=$("$prefix/bin/orvekdata" --version 2>&1) || true
[[ $version =~ ^Версия:\ [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] && ok "bin/orvekdata --version: $version" ||
  fail "bin/orvekdata --version printed: $version"
cp "$here/../fuzz/corpus/datfile/copy" "$work/files/1211H0.dat"
if "$prefix/bin/orvekdata" dat2csv "$work/files/1211H0.dat" >"$work/dat2csv.log" 2>&1 &&
  [[ -s $work/files/1211H0_1.csv ]]; then
  ok "bin/orvekdata dat2csv restores a .dat copy"
else
  fail "bin/orvekdata dat2csv on a good copy: $(cat "$work/dat2csv.log")"
fi
"$prefix/bin/orvek-metersim" --help >/dev/null 2>&1 || fail "bin/orvek-metersim --help failed"

# --- The desktop entries: valid, their program and icon installed.
key() { sed -n "s/^$2=//p" "$1" | head -n 1; }
entries=("$share"/applications/*.desktop)
[[ -f ${entries[0]} ]] || fail "no desktop entry under share/applications"
shown=()
for entry in "${entries[@]}"; do
  [[ -f $entry ]] || continue
  name=${entry##*/}
  if out=$(desktop-file-validate "$entry" 2>&1) && [[ -z $out ]]; then
    ok "$name passes desktop-file-validate"
  else
    fail "$name: desktop-file-validate: $out"
  fi
  read -r -a exec <<<"$(key "$entry" Exec)"
  [[ -x $prefix/bin/${exec[0]:-} ]] || fail "$name: Exec program '${exec[0]:-}' is not in bin"
  icon=$(key "$entry" Icon)
  svg=$share/icons/hicolor/scalable/apps/$icon.svg
  if [[ -n $icon && -f $svg ]] && xmllint --noout "$svg" &&
    [[ $(xmllint --xpath 'local-name(/*)' "$svg") == svg ]]; then
    ok "$name: icon '$icon' is the installed SVG"
  else
    fail "$name: icon '$icon' does not resolve to a valid SVG under share/icons/hicolor"
  fi
  [[ $(key "$entry" NoDisplay) == true ]] || shown+=("$name:$(key "$entry" Name):${exec[*]}")
done
# One menu entry, which opens the window on no file.
[[ ${shown[*]} == "orvekdata.desktop:ОРВЕК ДАТА:orvekdata" ]] && ok "menu entry: ${shown[*]}" ||
  fail "the menu shows: ${shown[*]:-nothing} (expected orvekdata.desktop, ОРВЕК ДАТА, orvekdata)"

# --- The MIME type: named by the ending *.dat and by nothing else.
xml=$share/mime/packages/orvekdata.xml
if [[ -f $xml ]] && xmllint --noout "$xml"; then
  q() { xmllint --xpath "$1" "$xml"; }
  what="$(q 'count(//*[local-name()="mime-type"])') type $(q 'string(//*[local-name()="mime-type"]/@type)'),\
 $(q 'count(//*[local-name()="glob"])') glob $(q 'string(//*[local-name()="glob"]/@pattern)')"
  [[ $what == "1 type $type, 1 glob *.dat" ]] && ok "MIME type: $what" || fail "MIME type: $what"
  magic=$(q 'count(//*[local-name()="magic" or local-name()="treemagic"])')
  [[ $magic == 0 ]] || fail "the MIME type claims files by content ($magic magic rules)"
else
  fail "share/mime/packages/orvekdata.xml is missing or not well-formed"
fi

update-mime-database "$share/mime"
update-desktop-database "$share/applications"
cp "$work/files/1211H0.dat" "$work/files/COPY.DAT"
cp "$work/files/1211H0.dat" "$work/files/1211H0.bin"
# name | expected: the program's copies end in .dat in any case; the same bytes under
# another name are not ours.
while read -r file expected; do
  for how in xdg-mime gio; do
    if [[ $how == xdg-mime ]]; then
      got=$(xdg-mime query filetype "$work/files/$file")
    else
      got=$(gio info -a standard::content-type "$work/files/$file" | sed -n 's/^ *standard::content-type: //p')
    fi
    if [[ $expected == "$type" ]]; then
      [[ $got == "$expected" ]] && ok "$how: $file is $got" || fail "$how: $file is '$got', expected $type"
    else
      [[ $got != "$type" ]] && ok "$how: $file is $got" || fail "$how: $file is claimed as $type"
    fi
  done
done <<EOF
1211H0.dat $type
COPY.DAT $type
1211H0.bin other
EOF

handler=$(xdg-mime query default "$type")
[[ $handler == orvekdata-view.desktop ]] && ok "xdg-mime: $type opens with $handler" ||
  fail "xdg-mime query default $type: '$handler'"
gio_out=$(gio mime "$type" 2>&1) || true
gio_default=$(sed -n 's/^Default application for .*: //p' <<<"$gio_out")
gio_registered=$(sed -n '/^Registered applications:/,/^[^[:space:]]/{s/^[[:space:]]\+//p}' <<<"$gio_out")
[[ $gio_default == orvekdata-view.desktop && $gio_registered == orvekdata-view.desktop ]] &&
  ok "gio: $type opens with $gio_default, and only with it" || fail "gio mime $type: $gio_out"
viewer=$share/applications/orvekdata-view.desktop
if [[ -f $viewer ]]; then
  read -r -a exec <<<"$(key "$viewer" Exec)"
  [[ ${exec[*]} == "orvekdata view %f" ]] && ok "the handler runs: ${exec[*]}" ||
    fail "the handler runs '${exec[*]}', not 'orvekdata view %f'"
fi

# --- The manual page: where man looks, clean under groff's warnings, every command in it.
page=$(MANPATH=$share/man man -w orvekdata 2>/dev/null) || true
if [[ -n $page && $page == "$share"/man/man1/orvekdata.1* ]]; then
  ok "man -w orvekdata: ${page#"$prefix"/}"
  MANROFFSEQ='' LC_ALL=C.UTF-8 MANWIDTH=80 man -l --warnings=w "$page" >"$work/man.txt" 2>"$work/man.err" ||
    fail "man -l $page failed"
  [[ -s $work/man.err ]] && fail "man -l --warnings=w: $(cat "$work/man.err")"
  [[ -s $work/man.txt ]] || fail "the manual page renders empty"
  # The commands the program's own usage lists, each described in the page.
  commands=$("$prefix/bin/orvekdata" --help | sed -n 's/^ *orvekdata \([a-z0-9-]\+\).*/\1/p' | sort -u)
  [[ -n $commands ]] || fail "orvekdata --help lists no command"
  for command in $commands; do
    grep -q "^       $command\b" "$work/man.txt" || fail "the manual page has no entry for '$command'"
  done
  ok "the manual page renders without warnings and describes: ${commands//$'\n'/ }"
else
  fail "man -w orvekdata with MANPATH=share/man: '$page'"
fi

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "every check passed"
