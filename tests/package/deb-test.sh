#!/usr/bin/env bash
# Installs the packages that `make deb` built on this machine, runs what they install,
# and purges them again:
#
#   built .debs ── what they hold, their version, debian/control against the Makefile
#   apt-get install ./quillet_*.deb ── quillet-gateway (--help against its manual page,
#     a card issued) ── the checker on the installed local component ── /usr/bin/Quillet
#     offscreen with a probe (tests/package/probe): first frame painted, 注册 and 查询余额
#     answered by the component mapped from the installed plugin folder
#   apt-get purge ── nothing of the package left, the user's store kept
#
# Run as root, after `make deb`:   tests/package/deb-test.sh build/deb
# The package is purged on every way out, so a failed run leaves no plugin installed.
# Every check runs and reports; only a step that later checks need stops the run.
set -uo pipefail

deb_dir=$(realpath "${1:-build/deb}")
repo=$(cd "$(dirname "$0")/../.." && pwd)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
plugin_dir=/usr/lib/$multiarch/quillet/plugins/quillet-gateways
local_gateway=$plugin_dir/libquillet-localgateway.so

# What the quillet package must hold (paths without the leading slash).
quillet_files=(
    usr/bin/Quillet
    usr/bin/quillet-gateway
    "${local_gateway#/}"
    usr/share/applications/org.quillet.Quillet.desktop
    usr/share/icons/hicolor/scalable/apps/org.quillet.Quillet.svg
    usr/share/metainfo/org.quillet.Quillet.metainfo.xml
    usr/share/man/man1/Quillet.1.gz
    usr/share/man/man1/quillet-gateway.1.gz
    usr/share/doc/quillet/copyright
)
# Folders that belong to the packages alone: gone after the purge.
package_folders=(
    "/usr/lib/$multiarch/quillet"
    /usr/share/doc/quillet
    /etc/quillet
)
# Programs with --help, and their manual pages: the two name the same options.
help_pages=(
    "quillet-gateway /usr/share/man/man1/quillet-gateway.1.gz"
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

[ "$(id -u)" -eq 0 ] || die "run as root (it installs and purges packages)"
debs=("$deb_dir"/quillet_*_"$arch".deb)
[ -f "${debs[0]}" ] || die "no quillet_*_$arch.deb in $deb_dir: run make deb first"
installed quillet && die "quillet is installed already; purge it first (apt-get purge quillet)"

work=$(mktemp -d /tmp/quillet-deb-test.XXXXXX)
we_installed=0
cleanup() {
    if [ "$we_installed" -eq 1 ] && installed quillet; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quillet >/dev/null || true
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
contents=$(dpkg-deb -c "${debs[0]}" | awk '{ print $6 }' | sed 's|^\./||')
for path in "${quillet_files[@]}"; do
    grep -qxF "$path" <<<"$contents"
    check "holds /$path" $?
done
same "version is the project's" \
    "$(sed -n 's/^project(Quillet VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")" \
    "$(dpkg-deb -f "${debs[0]}" Version)"
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
installed quillet || die "apt-get install ${debs[*]} failed"
check "apt-get install ./quillet_*.deb" 0
dpkg -L quillet >"$work/files"

echo "== installed programs"
while read -r path; do
    name=${path#/usr/bin/}
    [ -e "/usr/share/man/man1/$name.1.gz" ] || [ -e "/usr/share/man/man8/$name.8.gz" ]
    check "manual page for $name" $?
done < <(grep '^/usr/bin/.' "$work/files")
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
for row in "${help_pages[@]}"; do
    read -r program manual <<<"$row"
    same "$program --help and its manual page name the same options" \
        "$(as_user "$program" --help | options_in)" \
        "$(page_text "$manual" | sed -n '/^\.SH SYNOPSIS/,$p' | options_in)"
done
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

echo "== purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quillet >/dev/null
installed quillet && die "apt-get purge quillet failed"
check "apt-get purge quillet" 0
left=$(while read -r path; do [ -d "$path" ] || [ ! -e "$path" ] || echo "$path"; done <"$work/files")
same "no file of the package is left" "" "$left"
for folder in "${package_folders[@]}"; do
    [ ! -e "$folder" ]
    check "$folder is gone" $?
done
[ -s "$home/.local/share/quillet-gateway/gateway.sqlite3" ]
check "the user's store is kept" $?

echo "== $failures failed"
[ "$failures" -eq 0 ]
