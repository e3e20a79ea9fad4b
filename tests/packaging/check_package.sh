#!/usr/bin/env bash
# Checks the Debian package without installing it on this machine: unpacks it
# into a scratch root and looks at its files, their modes, the unit, the
# maintainer scripts (run there against stand-ins for adduser, chown and
# systemd), the manual pages and the logrotate rules.
#
#   check_package.sh PACKAGE.deb
#   check_package.sh --build BUILD_DIR   makes the package of that build first
set -euo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vorel-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if [[ ${1:-} == --build ]]; then
  "${CPACK:-cpack}" --config "$2/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; exit 1; }
  deb=$(echo "$scratch"/out/vorel_*.deb)
else
  deb=$1
fi

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

root=$scratch/root
control=$scratch/control
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$control"
version=$(dpkg-deb -f "$deb" Version)

# --- Files and modes: exactly these, owned by root. ---
units=("$root"/lib/systemd/system/vorel.service "$root"/usr/lib/systemd/system/vorel.service)
unit=
for u in "${units[@]}"; do [[ -f $u ]] && unit=$u; done
[[ -n $unit ]] || fail "no vorel.service under /lib/systemd/system or /usr/lib/systemd/system"
unit_path=${unit#"$root"}
expected="\
0644 /etc/logrotate.d/vorel
0644 $unit_path
0755 /usr/bin/vorel
0755 /usr/bin/vorel_p7_server
0755 /usr/bin/vorel_p8_server
0755 /usr/bin/vorel_spool_inspector
0755 /usr/bin/vorel_station_sim
0644 /usr/share/doc/vorel/changelog.gz
0644 /usr/share/doc/vorel/copyright
0644 /usr/share/man/man1/vorel-tools.1.gz
0644 /usr/share/man/man1/vorel.1.gz
0777 /usr/share/man/man1/vorel_p7_server.1.gz
0777 /usr/share/man/man1/vorel_p8_server.1.gz
0777 /usr/share/man/man1/vorel_spool_inspector.1.gz
0777 /usr/share/man/man1/vorel_station_sim.1.gz
0644 /usr/share/vorel/vorel.ini"
actual=$(cd "$root" && find . ! -type d -printf '%#m /%P\n' | sort -k2)
expected_sorted=$(sort -k2 <<<"$expected")
[[ $actual == "$expected_sorted" ]] ||
  fail "files and modes differ from the expected list:"$'\n'"$(diff <(echo "$expected_sorted") <(echo "$actual"))"
not_root=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')
[[ -z $not_root ]] || fail "files not owned by root: $not_root"
for page in vorel_p7_server vorel_p8_server vorel_spool_inspector vorel_station_sim; do
  [[ -f $root/usr/share/man/man1/$page.1.gz ]] || fail "the manual page of $page leads nowhere"
done
for binary in "$root"/usr/bin/*; do
  file -b "$binary" | grep -q 'ELF.*, stripped' || fail "$binary is not a stripped executable"
done
grep -q '^\[port\]' "$root/usr/share/vorel/vorel.ini" || fail "the sample vorel.ini has no [port] section"

# --- Control data. ---
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libsystemd0 libqt6widgets6 fonts-dejavu-extra adduser; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
[[ $(cat "$control/conffiles") == /etc/logrotate.d/vorel ]] || fail "conffiles: $(cat "$control/conffiles")"
for script in postinst prerm postrm; do
  [[ $(stat -c %a "$control/$script") == 755 ]] || fail "$script is not mode 0755"
  sh -n "$control/$script" || fail "$script: syntax error"
done

# --- The programs run from where the package put them. ---
[[ $("$root/usr/bin/vorel" --version) == "vorel $version" ]] ||
  fail "vorel --version says '$("$root/usr/bin/vorel" --version)', the package is $version"
help=$("$root/usr/bin/vorel" --help)
for word in --version VOREL_COM_DIR VOREL_CLOCK_FILE QT_QPA_PLATFORM; do
  [[ $help == *"$word"* ]] || fail "vorel --help does not mention $word"
done
for tool in vorel_station_sim vorel_p7_server vorel_p8_server vorel_spool_inspector; do
  "$root/usr/bin/$tool" --help >/dev/null 2>&1 || fail "$tool --help failed"
done

# --- The unit. ---
for setting in Type=notify WatchdogSec= Restart=on-failure User=vorel SupplementaryGroups=dialout \
               StateDirectory=vorel WorkingDirectory=%S/vorel ExecStart=/usr/bin/vorel \
               Environment=QT_QPA_PLATFORM=offscreen WantedBy=multi-user.target; do
  grep -q "^$setting" "$unit" || fail "the unit lacks $setting"
done
if command -v systemd-analyze >/dev/null && [[ -f /lib/systemd/system/sysinit.target ]]; then
  # Against the programs and manual pages of the scratch root. Complaints
  # about other units of this machine are not the package's.
  mkdir "$scratch/unit"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$scratch/unit/vorel.service"
  man_check=yes
  command -v man >/dev/null || man_check=no
  verify=$(MANPATH="$root/usr/share/man" systemd-analyze verify --man=$man_check "$scratch/unit/vorel.service" 2>&1 |
    grep vorel || true)
  [[ -z $verify ]] || fail "systemd-analyze verify: $verify"
else
  echo "note: no systemd-analyze here; the unit was not verified"
fi

# --- Manual pages: no formatter warnings. ---
for page in vorel vorel-tools; do
  gz=$root/usr/share/man/man1/$page.1.gz
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$gz" 2>&1 >/dev/null)
  else
    warnings=$(zcat "$gz" | groff -man -ww -z 2>&1)
  fi
  [[ -z $warnings ]] || fail "$page.1: $warnings"
done

# --- Maintainer scripts in the scratch root: the commands that would change
# this machine are stand-ins that only note their arguments. ---
stand_ins=$scratch/bin
calls=$scratch/calls
mkdir "$stand_ins"
for command in adduser chown deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$command" "$calls" >"$stand_ins/$command"
done
# getent knows the user once adduser has made it.
printf '#!/bin/sh\ngrep -q -- "--system" "%s" 2>/dev/null\n' "$calls" >"$stand_ins/getent"
chmod 755 "$stand_ins"/*
run() { DPKG_ROOT=$root PATH="$stand_ins:$PATH" sh "$control/$1" "${@:2}" || fail "$1 $* failed"; }

ini=$root/var/lib/vorel/vorel.ini
run postinst configure
grep -q '^adduser --system .*--home /var/lib/vorel .* vorel$' "$calls" || fail "no system user vorel made"
grep -q '^adduser --quiet vorel dialout$' "$calls" || fail "vorel is not put in dialout"
grep -q '^chown vorel:vorel .*/var/lib/vorel/vorel.ini$' "$calls" || fail "vorel.ini is not given to vorel"
cmp -s "$ini" "$root/usr/share/vorel/vorel.ini" || fail "a first install does not copy the sample vorel.ini"

# An upgrade keeps the administrator's vorel.ini and user.
echo "ComPort=COM3" >"$ini"
run postinst configure 1.0.0.0
[[ $(cat "$ini") == ComPort=COM3 ]] || fail "an upgrade replaced the administrator's vorel.ini"
[[ $(grep -c '^adduser --system' "$calls") == 1 ]] || fail "an upgrade made the user again"

run prerm remove
run postrm remove
run postrm purge
grep -q '^deb-systemd-helper purge vorel.service$' "$calls" || fail "a purge leaves the unit's links"
[[ -f $ini ]] || fail "a purge removed /var/lib/vorel, where undelivered events may wait"

# --- logrotate rotates the three files in the scratch root, as whoever runs this. ---
if command -v logrotate >/dev/null; then
  state=$root/var/lib/vorel
  for f in vorel.log vorelu.log error.txt; do echo "line" >"$state/$f"; done
  sed -e "s|/var/lib/vorel/|$state/|g" -e "s/^\tsu vorel vorel\$/\tsu $(id -un) $(id -gn)/" \
    "$root/etc/logrotate.d/vorel" >"$scratch/logrotate.conf"
  logrotate -f -s "$scratch/logrotate.state" "$scratch/logrotate.conf" >"$scratch/logrotate.log" 2>&1 ||
    fail "logrotate: $(cat "$scratch/logrotate.log")"
  for f in vorel.log vorelu.log error.txt; do
    [[ -f $state/$f.1.gz && ! -e $state/$f ]] || fail "logrotate did not move $f to $f.1.gz"
  done
else
  echo "note: no logrotate here; the rules were not tried"
fi

if ((failures)); then
  echo "$failures check(s) failed for $deb"
  exit 1
fi
echo "package checked: $deb"
