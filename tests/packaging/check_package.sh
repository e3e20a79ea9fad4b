#!/usr/bin/env bash
# Checks the Debian package without installing it on this machine: unpacks it
# into a scratch root and looks at its files, their modes, the units and their
# hardening, the maintainer scripts (run there against stand-ins for adduser,
# chown, setpriv and systemd, with hostile links in the state directory), the
# links the units make before the driver starts, the purge, the manual pages
# and the logrotate rules.
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
template=$(dirname "$unit")/vorel@.service
template_path=${template#"$root"}
expected="\
0644 /etc/logrotate.d/vorel
0644 /etc/vorel/vorel.ini
0644 $unit_path
0644 $template_path
0755 /usr/lib/vorel/vorel-files
0755 /usr/bin/vorel
0755 /usr/bin/vorel_p7_server
0755 /usr/bin/vorel_p8_server
0755 /usr/bin/vorel_spool_inspector
0755 /usr/bin/vorel_station_sim
0644 /usr/share/doc/vorel/changelog.gz
0644 /usr/share/doc/vorel/copyright
0644 /usr/share/doc/vorel/NEWS.Debian.gz
0644 /usr/share/doc/vorel/README.Debian
0644 /usr/share/doc/vorel/examples/70-vorel.rules
0644 /usr/share/doc/vorel/examples/vorel-alerts.yml
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
cmp -s "$root/usr/share/vorel/vorel.ini" "$root/etc/vorel/vorel.ini" || fail "/etc/vorel/vorel.ini is not the sample"

# --- Control data. ---
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libsystemd0 libqt6widgets6 fonts-dejavu-extra adduser; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
[[ $(sort "$control/conffiles") == $'/etc/logrotate.d/vorel\n/etc/vorel/vorel.ini' ]] ||
  fail "conffiles: $(cat "$control/conffiles")"
for script in postinst prerm postrm; do
  [[ $(stat -c %a "$control/$script") == 755 ]] || fail "$script is not mode 0755"
  sh -n "$control/$script" || fail "$script: syntax error"
done

# --- Debug symbols beside the package, found by the programs' build ids. ---
ddeb=$(find "$(dirname "$deb")" -maxdepth 1 -name "vorel-dbgsym_${version}_*.ddeb" | head -1)
if [[ -z $ddeb ]]; then
  fail "no vorel-dbgsym package beside $deb"
else
  build_id=$(file -b "$root/usr/bin/vorel" | sed -n 's/.*BuildID\[sha1\]=\([0-9a-f]*\).*/\1/p')
  dpkg-deb -c "$ddeb" >"$scratch/dbgsym-files"
  grep -q "/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" "$scratch/dbgsym-files" ||
    fail "vorel-dbgsym has no symbols for /usr/bin/vorel (build id ${build_id:-none})"
fi

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

# --- The units: the single one and the template for one driver per receiver. ---
hardening=(ProtectSystem=strict ProtectHome=yes PrivateTmp=yes DevicePolicy=closed "DeviceAllow=char-ttyS rw"
           "DeviceAllow=char-ttyUSB rw" "DeviceAllow=char-ttyACM rw" "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6"
           CapabilityBoundingSet=$ NoNewPrivileges=yes SystemCallFilter=@system-service UMask=0027)
for setting in Type=notify WatchdogSec= Restart=on-failure User=vorel SupplementaryGroups=dialout \
               StateDirectory=vorel$ LogsDirectory=vorel$ WorkingDirectory=%S/vorel$ ExecStart=/usr/bin/vorel$ \
               "ExecStartPre=/usr/lib/vorel/vorel-files /etc/vorel/vorel.ini %L/vorel$" \
               Environment=QT_QPA_PLATFORM=offscreen WantedBy=multi-user.target "${hardening[@]}"; do
  grep -q "^$setting" "$unit" || fail "the unit lacks $setting"
done
for setting in StateDirectory=vorel/%i$ LogsDirectory=vorel/%i$ WorkingDirectory=%S/vorel/%i$ \
               "ExecStartPre=/usr/lib/vorel/vorel-files /etc/vorel/%i/vorel.ini %L/vorel/%i$" \
               Environment=VOREL_COM_DIR=/dev/vorel/%i$ RuntimeDirectory=vorel/%i$ "${hardening[@]}"; do
  grep -q "^$setting" "$template" || fail "the template unit lacks $setting"
done
if command -v systemd-analyze >/dev/null && [[ -f /lib/systemd/system/sysinit.target ]]; then
  # Against the programs and manual pages of the scratch root. Complaints
  # about other units of this machine are not the package's.
  mkdir "$scratch/unit"
  for u in "$unit" "$template"; do
    sed -e "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" -e "s|^ExecStartPre=/usr/lib/|ExecStartPre=$root/usr/lib/|" \
      "$u" >"$scratch/unit/$(basename "$u")"
  done
  cp "$scratch/unit/vorel@.service" "$scratch/unit/vorel@north.service"
  man_check=yes
  command -v man >/dev/null || man_check=no
  for u in vorel.service vorel@north.service; do
    verify=$(MANPATH="$root/usr/share/man" systemd-analyze verify --man=$man_check "$scratch/unit/$u" 2>&1 |
      grep vorel || true)
    [[ -z $verify ]] || fail "systemd-analyze verify $u: $verify"
    # The exposure systemd rates, out of 10: 2.0 or better.
    score=$(systemd-analyze security --offline=true "$scratch/unit/$u" 2>&1 |
      sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
    [[ -n $score ]] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' ||
      fail "systemd-analyze security rates $u ${score:-(no score)}, not 2.0 or better"
    echo "systemd-analyze security $u: $score"
  done
else
  echo "note: no systemd-analyze here; the units were not verified"
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
# this machine are stand-ins that only note their arguments. setpriv notes
# them and runs the command as whoever runs this. ---
stand_ins=$scratch/bin
calls=$scratch/calls
mkdir "$stand_ins"
for command in adduser chown deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$command" "$calls" >"$stand_ins/$command"
done
printf '#!/bin/sh\necho "setpriv $*" >>"%s"\nwhile [ "${1#-}" != "$1" ]; do shift; done\nexec "$@"\n' "$calls" \
  >"$stand_ins/setpriv"
# No override set with dpkg-statoverride.
printf '#!/bin/sh\nexit 1\n' >"$stand_ins/dpkg-statoverride"
# getent knows the user once adduser has made it.
printf '#!/bin/sh\ngrep -q -- "--system" "%s" 2>/dev/null\n' "$calls" >"$stand_ins/getent"
chmod 755 "$stand_ins"/*
run() { DPKG_ROOT=$root PATH="$stand_ins:$PATH" sh "$control/$1" "${@:2}" >>"$scratch/script-output" 2>&1 ||
  fail "$1 $* failed: $(cat "$scratch/script-output")"; }

etc_ini=$root/etc/vorel/vorel.ini
state=$root/var/lib/vorel
logs=$root/var/log/vorel
run postinst configure
grep -q '^adduser --system .*--home /var/lib/vorel .* vorel$' "$calls" || fail "no system user vorel made"
grep -q '^adduser --quiet vorel dialout$' "$calls" || fail "vorel is not put in dialout"
grep -q "^chown root:vorel $etc_ini\$" "$calls" || fail "/etc/vorel/vorel.ini is not given to the group vorel"
[[ $(stat -c %a "$etc_ini") == 640 ]] || fail "/etc/vorel/vorel.ini is mode $(stat -c %a "$etc_ini"), not 0640"
[[ ! -e $state ]] || fail "a first install wrote into the state directory, which systemd makes for the service"

# The service user owns the state directory and may plant links there. The
# scripts never write there, and read an old vorel.ini only as vorel.
mkdir -p "$state" "$scratch/victims/dir"
echo "root's secret" >"$scratch/victims/secret"
chmod 600 "$scratch/victims/secret"
echo keep >"$scratch/victims/dir/vorel.status"
ln -s "$scratch/victims/secret" "$state/vorel.ini"
ln -s "$scratch/victims/missing" "$state/vorel.log"
ln -s "$scratch/victims/secret" "$state/vorel.status"
ln -s "$scratch/victims/dir" "$state/north"
snapshot() { (cd "$scratch" && find victims root/var/lib/vorel -printf '%p %y %l %s %m %T@\n' | sort); }
before=$(snapshot)
for args in "configure" "configure 1.0.0.0"; do
  run postinst $args
  [[ $(snapshot) == "$before" ]] || fail "postinst $args changed the state directory or a link's target:"$'\n'"$(
    diff <(echo "$before") <(snapshot))"
  cmp -s "$etc_ini" "$root/usr/share/vorel/vorel.ini" || fail "postinst $args took a planted link's target as vorel.ini"
done
grep -q "^setpriv --reuid=vorel --regid=vorel --init-groups cat $state/vorel.ini\$" "$calls" ||
  fail "the old vorel.ini is not read as the user vorel"
[[ ! -e $scratch/victims/missing ]] || fail "a dangling link's target was made"

# An upgrade from the layout with vorel.ini in the state directory takes it
# over, unless /etc/vorel/vorel.ini was changed already.
rm "$state/vorel.ini"
printf '[port]\r\nComPort=COM3\r\n' >"$state/vorel.ini"
run postinst configure 1.0.0.0
cmp -s "$etc_ini" "$state/vorel.ini" || fail "an upgrade did not take over the old vorel.ini"
[[ $(stat -c %a "$etc_ini") == 640 ]] || fail "the taken-over vorel.ini is mode $(stat -c %a "$etc_ini")"
printf '[port]\r\nComPort=COM4\r\n' >"$etc_ini"
run postinst configure 1.0.0.0
[[ $(cat "$etc_ini") == $'[port]\r\nComPort=COM4\r' ]] || fail "an upgrade replaced the administrator's vorel.ini"
[[ $(grep -c '^adduser --system' "$calls") == 1 ]] || fail "an upgrade made the user again"

# --- Before each start, as the user vorel in the state directory: links to
# the configuration and the log directory; files of the old layout are moved
# aside, never overwritten. ---
files=$root/usr/lib/vorel/vorel-files
work=$scratch/work
mkdir -p "$work" "$scratch/logs"
echo "old log" >"$work/vorel.log"
echo "old ini" >"$work/vorel.ini"
for pass in 1 2; do
  (cd "$work" && "$files" "$etc_ini" "$scratch/logs") || fail "vorel-files failed (pass $pass)"
  [[ $(readlink "$work/vorel.ini") == "$etc_ini" ]] || fail "vorel.ini does not lead to /etc (pass $pass)"
  for log in vorel.log vorelu.log error.txt; do
    [[ $(readlink "$work/$log") == "$scratch/logs/$log" ]] || fail "$log does not lead to the log directory"
  done
done
[[ $(cat "$scratch/logs/vorel.log.before-move") == "old log" ]] || fail "the old vorel.log was not moved to the logs"
[[ $(cat "$work/vorel.ini.before-move") == "old ini" ]] || fail "the old vorel.ini was not set aside"
echo "a line" >>"$work/vorel.log"
[[ $(cat "$scratch/logs/vorel.log") == "a line" ]] || fail "a write through the link does not make the log"
(cd "$work" && "$files" "$scratch/none.ini" "$scratch/logs" 2>/dev/null) && fail "vorel-files starts without a configuration"

# --- Removal and purge: the purge removes the configuration, the status files
# and the links, keeps spool files, logs and instance configurations, says
# so, and follows no link. ---
run prerm remove
run postrm remove
rm -f "$state/vorel.ini"
ln -s "$etc_ini" "$state/vorel.ini"
echo "state=stopped" >"$state/vorel.prom"
echo "event" >"$state/20261210120000000_-1.ddm"
mkdir -p "$state/south" "$logs" "$root/etc/vorel/south"
echo "state=stopped" >"$state/south/vorel.status"
echo "traffic" >"$logs/vorel.log"
echo "[port]" >"$root/etc/vorel/south/vorel.ini"
: >"$scratch/script-output"
run postrm purge
grep -q '^deb-systemd-helper purge vorel.service$' "$calls" || fail "a purge leaves the unit's links"
[[ ! -e $etc_ini ]] || fail "a purge left /etc/vorel/vorel.ini"
for gone in vorel.ini vorel.log vorel.status vorel.prom north south; do
  [[ ! -e $state/$gone && ! -L $state/$gone ]] || fail "a purge left $state/$gone"
done
[[ -f $state/20261210120000000_-1.ddm ]] || fail "a purge removed a spool file with an event not delivered"
[[ -f $logs/vorel.log ]] || fail "a purge removed the logs"
[[ -f $root/etc/vorel/south/vorel.ini ]] || fail "a purge removed an instance's configuration"
[[ $(snapshot | grep '^victims') == "$(echo "$before" | grep '^victims')" ]] || fail "a purge touched a link's target"
grep -q "purge keeps.*/var/lib/vorel" "$scratch/script-output" || fail "a purge does not say what it keeps"

# --- logrotate rotates the three files of the driver and of an instance in
# the scratch root, as whoever runs this. ---
if command -v logrotate >/dev/null; then
  rm -rf "$logs"
  mkdir -p "$logs/north"
  for dir in "$logs" "$logs/north"; do
    for f in vorel.log vorelu.log error.txt; do echo "line" >"$dir/$f"; done
  done
  sed -e "s|/var/log/vorel/|$logs/|g" -e "s/^\tsu vorel vorel\$/\tsu $(id -un) $(id -gn)/" \
    "$root/etc/logrotate.d/vorel" >"$scratch/logrotate.conf"
  logrotate -f -s "$scratch/logrotate.state" "$scratch/logrotate.conf" >"$scratch/logrotate.log" 2>&1 ||
    fail "logrotate: $(cat "$scratch/logrotate.log")"
  for dir in "$logs" "$logs/north"; do
    for f in vorel.log vorelu.log error.txt; do
      [[ -f $dir/$f.1.gz && ! -e $dir/$f ]] || fail "logrotate did not move ${dir#"$root"}/$f to $f.1.gz"
    done
  done
else
  echo "note: no logrotate here; the rules were not tried"
fi

if ((failures)); then
  echo "$failures check(s) failed for $deb"
  exit 1
fi
echo "package checked: $deb"
