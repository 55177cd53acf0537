#!/usr/bin/env bash
# shellcheck disable=SC2034  # the tables are read through each_row's name reference
# Installs the packages that `make deb` built on this machine, runs what they install,
# and purges them again:
#
#   built .debs ── what they hold, their version, debian/control against the Makefile
#   apt-get install ./quillet*_*.deb ── quillet-gateway (--help against its manual page,
#     a card issued) ── the checker on the installed local component ── /usr/bin/Quillet
#     offscreen with a probe (tests/package/probe): first frame painted, 注册 and 查询余额
#     answered by the component mapped from the installed plugin folder
#     ── the service (when packaged): conffile, unit enabled, a token issued
#   apt-get purge ── nothing of the packages left, the user's store kept
#
# Run as root, after `make deb`:   tests/package/deb-test.sh build/deb
# Rows of the tables below that name a package `make deb` did not build are skipped.
# The packages are purged on every way out, so a failed run leaves no plugin installed.
# Every check runs and reports; only a step that later checks need stops the run.
set -uo pipefail

deb_dir=$(realpath "${1:-build/deb}")
repo=$(cd "$(dirname "$0")/../.." && pwd)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
plugin_dir=/usr/lib/$multiarch/quillet/plugins/quillet-gateways
local_gateway=$plugin_dir/libquillet-localgateway.so

# What each package must hold: "package path".
package_files=(
    "quillet /usr/bin/Quillet"
    "quillet /usr/bin/quillet-gateway"
    "quillet $local_gateway"
    "quillet /usr/share/applications/org.quillet.Quillet.desktop"
    "quillet /usr/share/icons/hicolor/scalable/apps/org.quillet.Quillet.svg"
    "quillet /usr/share/metainfo/org.quillet.Quillet.metainfo.xml"
    "quillet /usr/share/man/man1/Quillet.1.gz"
    "quillet /usr/share/man/man1/quillet-gateway.1.gz"
    "quillet /usr/share/doc/quillet/copyright"
    "quillet-gatewayd /usr/sbin/quillet-gatewayd"
    "quillet-gatewayd /lib/systemd/system/quillet-gatewayd.service"
    "quillet-gatewayd /etc/quillet/gatewayd.conf"
    "quillet-gatewayd /usr/share/man/man8/quillet-gatewayd.8.gz"
)
# Files an administrator edits: dpkg keeps their changes on upgrade.
package_conffiles=(
    "quillet-gatewayd /etc/quillet/gatewayd.conf"
)
# Services enabled on installation: "package unit".
package_units=(
    "quillet-gatewayd quillet-gatewayd.service"
)
# Folders and links that belong to the packages alone: gone after the purge.
package_leftovers=(
    "quillet /usr/lib/$multiarch/quillet"
    "quillet /usr/share/doc/quillet"
    "quillet-gatewayd /usr/share/doc/quillet-gatewayd"
    "quillet-gatewayd /etc/quillet"
    "quillet-gatewayd /etc/systemd/system/multi-user.target.wants/quillet-gatewayd.service"
)
# Programs with --help, and their manual pages: the two name the same options.
help_pages=(
    "quillet quillet-gateway /usr/share/man/man1/quillet-gateway.1.gz"
    "quillet-gatewayd quillet-gatewayd /usr/share/man/man8/quillet-gatewayd.8.gz"
)
# Makefile packages that debian/control leaves to build-essential.
build_essential=(g++ make)
# What the probe reports from the installed console (see probe/probe.h).
expected_report="frame=painted
notice=Brindlet|注册成功！
pane=余额数：0.00
gateway=$local_gateway"

failures=0
check() { # check NAME OK(0/1) [DETAIL]
    if [ "$2" -eq 0 ]; then
        printf 'PASS  %s\n' "$1"
    else
        printf 'FAIL  %s%s\n' "$1" "${3:+: $3}"
        failures=$((failures + 1))
    fi
}
same() { # same NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then check "$1" 0; else check "$1" 1 "$(printf '\nexpected:\n%s\nactual:\n%s' "$2" "$3")"; fi
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q ' installed$'; }
die() { echo "deb-test: $*" >&2; exit 2; }
built() { printf '%s\n' "${packages[@]}" | grep -qxF "$1"; }
# Calls `$2 rest-of-row` for each row of table $1 whose package was built; says SKIP
# for the others.
each_row() {
    local -n rows=$1
    local row package rest
    for row in "${rows[@]}"; do
        read -r package rest <<<"$row"
        if built "$package"; then "$2" "$package" "$rest"; else echo "SKIP  $package not built: $rest"; fi
    done
}

[ "$(id -u)" -eq 0 ] || die "run as root (it installs and purges packages)"
debs=()
packages=()
for deb in "$deb_dir"/quillet*_"$arch".deb; do
    [ -f "$deb" ] || continue
    case "$deb" in *-dbgsym_*) continue ;; esac
    debs+=("$deb")
    packages+=("$(dpkg-deb -f "$deb" Package)")
done
built quillet || die "no quillet_*_$arch.deb in $deb_dir: run make deb first"
for package in "${packages[@]}"; do
    installed "$package" && die "$package is installed already; purge it first (apt-get purge $package)"
done

work=$(mktemp -d /tmp/quillet-deb-test.XXXXXX)
we_installed=0
purge() { DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null; }
cleanup() {
    if [ "$we_installed" -eq 1 ]; then
        for package in "${packages[@]}"; do
            if installed "$package"; then purge || true; fi
        done
    fi
    rm -rf "$work"
}
trap cleanup EXIT
home=$work/home
mkdir -p "$home" "$work/runtime"
chmod 0700 "$work/runtime"
# A fresh user: the programs find their data under $home, and nothing of this shell's
# Qt or XDG settings leaks in.
as_user() {
    env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u QT_PLUGIN_PATH -u QT_QPA_GENERIC_PLUGINS \
        HOME="$home" XDG_RUNTIME_DIR="$work/runtime" LC_ALL=C.UTF-8 "$@"
}

echo "== the built packages"
project_version=$(sed -n 's/^project(Quillet VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
for deb in "${debs[@]}"; do
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\.||' >>"$work/contents"
    same "$(basename "$deb") has the project's version" "$project_version" "$(dpkg-deb -f "$deb" Version)"
done
holds() { grep -qxF "$2" "$work/contents"; check "$1 holds $2" $?; }
each_row package_files holds
makefile_packages=$(make -s -C "$repo" -pn deps 2>/dev/null | sed -n 's/^PACKAGES := //p' | tr ' ' '\n' \
    | grep -vxF -f <(printf '%s\n' "${build_essential[@]}") | grep -v '^$' | sort)
control_packages=$(awk '/^Build-Depends:/ { on = 1; sub(/^Build-Depends:/, "") }
                        on && /^[A-Z]/ && !/^Build-Depends:/ { on = 0 } on' "$repo/debian/control" \
    | tr ',' '\n' | sed 's/[(<[].*//; s/|.*//; s/[[:space:]]//g' | grep -v -e '^$' -e '^debhelper-compat$' | sort)
same "Build-Depends are the Makefile's PACKAGES" "$makefile_packages" "$control_packages"

echo "== the probe"
if ! cmake -S "$repo/tests/package/probe" -B "$work/probe" -DCMAKE_BUILD_TYPE=Release >/dev/null \
    || ! cmake --build "$work/probe" -j "$(nproc)" >/dev/null; then
    die "cannot build the probe"
fi

echo "== install"
we_installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null
for package in "${packages[@]}"; do
    installed "$package" || die "apt-get install ${debs[*]} failed"
done
check "apt-get install ${packages[*]}" 0
dpkg -L "${packages[@]}" >"$work/files"

echo "== installed programs"
while read -r path; do
    name=${path##*/}
    [ -e "/usr/share/man/man1/$name.1.gz" ] || [ -e "/usr/share/man/man8/$name.8.gz" ]
    check "manual page for $name" $?
done < <(grep -E '^/usr/s?bin/.' "$work/files")
is_conffile() {
    dpkg-query -W -f='${Conffiles}\n' "$1" | awk '{ print $1 }' | grep -qxF "$2"
    check "$2 is a conffile of $1" $?
}
each_row package_conffiles is_conffile
is_enabled() {
    [ -L "/etc/systemd/system/multi-user.target.wants/$2" ]
    check "$1 enables $2" $?
}
each_row package_units is_enabled
desktop=/usr/share/applications/org.quillet.Quillet.desktop
icon=$(sed -n 's/^Icon=//p' "$desktop")
grep -qxF "/usr/share/icons/hicolor/scalable/apps/$icon.svg" "$work/files"
check "the desktop entry's icon $icon is installed" $?
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
grep -qxF "/usr/bin/$exec_name" "$work/files"
check "the desktop entry runs an installed program" $?

help=$(as_user quillet-gateway --help) && status=0 || status=$?
check "quillet-gateway --help exits 0" "$status"
same "quillet-gateway --help begins with its usage" \
    "用法：quillet-gateway [--store 路径] 命令 [选项]" "$(head -n 1 <<<"$help")"
# Options are words that begin with one or two dashes, not the inner dash of a name.
options_in() { grep -oE -- '(^|[^[:alnum:]-])--?[a-z][a-z-]*' | sed 's/^[^-]*//' | sort -u; }
page_text() { zcat "$1" | sed 's/\\-/-/g'; }
same_options() {
    local program manual
    read -r program manual <<<"$2"
    same "$program --help and its manual page name the same options" \
        "$(as_user "$program" --help | options_in)" \
        "$(page_text "$manual" | sed -n '/^\.SH SYNOPSIS/,$p' | options_in)"
}
each_row help_pages same_options
page=$(page_text /usr/share/man/man1/quillet-gateway.1.gz)
same "quillet-gateway --help and its manual page name the same commands" \
    "$(sed -n 's/^  \([a-z][a-z]*\).*/\1/p' <<<"$help" | sort -u)" \
    "$(sed -n '/^\.SH COMMANDS/,/^\.SH /{/^\.TP/{n;s/^\.BI\? "\?\([a-z]*\).*/\1/p}}' <<<"$page" | sort -u)"

cards=$(as_user quillet-gateway card issue --value 10) && status=0 || status=$?
check "quillet-gateway card issue exits 0" "$status"
same "quillet-gateway card issue lists one card of 10.00 yuan" \
    "$(printf '卡号\t密码\t面值（元）\n10.00')" \
    "$(sed -n '1p; 2s/.*\t//p' <<<"$cards")"

if [ -x /usr/bin/quillet-gateway-check ]; then
    as_user quillet-gateway-check "$local_gateway" && status=0 || status=$?
    check "quillet-gateway-check passes on the installed local component" "$status"
else
    echo "SKIP  quillet-gateway-check is not in the package yet"
fi

as_user env QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$work/probe/plugins" \
    QT_QPA_GENERIC_PLUGINS=quilletprobe QUILLET_PROBE_REPORT="$work/report" \
    timeout 120 /usr/bin/Quillet 2>"$work/quillet.err" && status=0 || status=$?
check "/usr/bin/Quillet runs to its first frame and quits" "$status" "$(cat "$work/quillet.err")"
same "the console answers through the installed local gateway" \
    "$expected_report" "$(cat "$work/report" 2>/dev/null)"
as_user quillet-gateway accounts | grep -q "^ABC-DEF-GHI-12345"$'\t'
check "the operator tool sees the account the console registered" $?

if built quillet-gatewayd; then
    as_user quillet-gatewayd --store "sqlite:$work/gatewayd.sqlite3" \
        token issue --role console --name deb-test >/dev/null && status=0 || status=$?
    check "quillet-gatewayd issues a token" "$status"
fi

echo "== purge"
purge
for package in "${packages[@]}"; do
    installed "$package" && die "apt-get purge $package failed"
done
check "apt-get purge ${packages[*]}" 0
left=$(while read -r path; do [ -d "$path" ] || [ ! -e "$path" ] || echo "$path"; done <"$work/files")
same "no file of the packages is left" "" "$left"
is_gone() { [ ! -e "$2" ] && [ ! -L "$2" ]; check "$2 is gone" $?; }
each_row package_leftovers is_gone
[ -s "$home/.local/share/quillet-gateway/gateway.sqlite3" ]
check "the user's store is kept" $?

echo "== $failures failed"
[ "$failures" -eq 0 ]
