#!/usr/bin/env bash
# shellcheck disable=SC2034  # the tables are read through each_row's name reference
# Installs the packages that `make deb` built on this machine, runs what they install,
# and purges them again:
#
#   built .debs ── what they hold, their version, debian/control against the Makefile
#   apt-get install ./quillet*_*.deb ── quillet-gateway (--help against its manual page,
#     a card issued) ── quillet-gateway-check on the installed local component, by file
#     and as the console picks it ── /usr/bin/Quillet
#     offscreen with a probe (tests/package/probe): first frame painted, 注册 and 查询余额
#     answered by the component mapped from the installed plugin folder
#     ── the service (when packaged): conffile, unit enabled and its sandbox's score, its
#     system user and state folder, a token issued as that user into the store the
#     installed settings name, the remote component against the service (under systemd
#     with the installed unit where systemd runs the machine, else started by hand), a
#     reload (systemctl reload, else SIGHUP) that turns the request log on in the same
#     process, the request log's file turned by the installed logrotate file, and the
#     operator tool through the service: a card, an account that spends it, and every
#     listing printed as the tool prints it from the service's store
#   every program's --version ── the project's version
#   apt-get purge ── nothing of the packages left, the user's store and the service's
#     store (/var/lib/quillet: balances) kept, its request logs gone
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
remote_gateway=$plugin_dir/libquillet-remotegateway.so
# The service's system user, and its state folder: it holds balances, so a purge keeps it.
service_user=quillet
state_dir=/var/lib/quillet

# What each package must hold: "package path".
package_files=(
    "quillet /usr/bin/Quillet"
    "quillet /usr/bin/quillet-gateway"
    "quillet /usr/bin/quillet-gateway-check"
    "quillet $local_gateway"
    "quillet $remote_gateway"
    "quillet /usr/share/applications/org.quillet.Quillet.desktop"
    "quillet /usr/share/icons/hicolor/scalable/apps/org.quillet.Quillet.svg"
    "quillet /usr/share/metainfo/org.quillet.Quillet.metainfo.xml"
    "quillet /usr/share/man/man1/Quillet.1.gz"
    "quillet /usr/share/man/man1/quillet-gateway.1.gz"
    "quillet /usr/share/man/man1/quillet-gateway-check.1.gz"
    "quillet /usr/share/doc/quillet/copyright"
    "quillet-gatewayd /usr/sbin/quillet-gatewayd"
    "quillet-gatewayd /lib/systemd/system/quillet-gatewayd.service"
    "quillet-gatewayd /etc/quillet/gatewayd.conf"
    "quillet-gatewayd /usr/lib/sysusers.d/quillet.conf"
    "quillet-gatewayd /usr/lib/tmpfiles.d/quillet-gatewayd.conf"
    "quillet-gatewayd /usr/share/man/man8/quillet-gatewayd.8.gz"
    "quillet-gatewayd /etc/logrotate.d/quillet-gatewayd"
)
# Files an administrator edits: dpkg keeps their changes on upgrade.
package_conffiles=(
    "quillet-gatewayd /etc/quillet/gatewayd.conf"
    "quillet-gatewayd /etc/logrotate.d/quillet-gatewayd"
)
# Services enabled on installation: "package unit".
package_units=(
    "quillet-gatewayd quillet-gatewayd.service"
)
# The highest exposure `systemd-analyze security` may give a unit, times ten (2.0).
unit_exposure_threshold=20
# Folders and links that belong to the packages alone: gone after the purge.
package_leftovers=(
    "quillet /usr/lib/$multiarch/quillet"
    "quillet /usr/share/doc/quillet"
    "quillet-gatewayd /usr/share/doc/quillet-gatewayd"
    "quillet-gatewayd /etc/quillet"
    "quillet-gatewayd /etc/systemd/system/multi-user.target.wants/quillet-gatewayd.service"
    "quillet-gatewayd /var/log/quillet"
)
# Programs with --help, and their manual pages: the two name the same options.
help_pages=(
    "quillet Quillet /usr/share/man/man1/Quillet.1.gz"
    "quillet quillet-gateway /usr/share/man/man1/quillet-gateway.1.gz"
    "quillet quillet-gateway-check /usr/share/man/man1/quillet-gateway-check.1.gz"
    "quillet-gatewayd quillet-gatewayd /usr/share/man/man8/quillet-gatewayd.8.gz"
)
# Every installed program answers --version with its name and the project's version.
version_programs=(
    "quillet Quillet"
    "quillet quillet-gateway"
    "quillet quillet-gateway-check"
    "quillet-gatewayd quillet-gatewayd"
)
# Makefile packages that debian/control leaves to build-essential. (debhelper-compat and
# the dh-sequence-* add-ons in Build-Depends come with debhelper, which `make deb` installs.)
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

if built quillet-gatewayd && [ -e "$state_dir" ]; then
    die "$state_dir exists already: it may hold a service's data; move it away first"
fi
getent passwd "$service_user" >/dev/null && user_existed=1 || user_existed=0

work=$(mktemp -d /tmp/quillet-deb-test.XXXXXX)
we_installed=0
made_state_dir=0
service_pid=
service_unit=
stop_service() {
    if [ -n "$service_pid" ]; then
        kill -TERM "$service_pid" 2>/dev/null
        wait "$service_pid" 2>/dev/null
        ! kill -0 "$service_pid" 2>/dev/null
        check "the service stops on SIGTERM" $?
        service_pid=
    fi
    if [ -n "$service_unit" ]; then
        systemctl stop "$service_unit"
        same "systemd stops $service_unit with SIGTERM, and it ends well" "inactive success" \
            "$(systemctl show -P ActiveState "$service_unit") $(systemctl show -P Result "$service_unit")"
        service_unit=
    fi
}
purge() { DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null; }
cleanup() {
    stop_service
    if [ "$we_installed" -eq 1 ]; then
        for package in "${packages[@]}"; do
            if installed "$package"; then purge || true; fi
        done
    fi
    # A purge keeps the service's data and its user, as it should; this test made them.
    if [ "$made_state_dir" -eq 1 ]; then rm -rf "$state_dir"; fi
    if [ "$we_installed" -eq 1 ] && [ "$user_existed" -eq 0 ] && getent passwd "$service_user" >/dev/null; then
        userdel "$service_user" 2>/dev/null
        getent group "$service_user" >/dev/null && groupdel "$service_user" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
home=$work/home
mkdir -p "$home" "$work/runtime"
chmod 0700 "$work/runtime"
# A fresh user: the programs find their data under $home, and nothing of this shell's
# Qt or XDG settings leaks in.
user_env=(env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u QT_PLUGIN_PATH -u QT_QPA_GENERIC_PLUGINS
    HOME="$home" XDG_RUNTIME_DIR="$work/runtime" LC_ALL=C.UTF-8)
as_user() { "${user_env[@]}" "$@"; }

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
    | tr ',' '\n' | sed 's/[(<[].*//; s/|.*//; s/[[:space:]]//g' | grep -v -e '^$' -e '^debhelper-compat$' -e '^dh-sequence-' | sort)
same "Build-Depends are the Makefile's PACKAGES" "$makefile_packages" "$control_packages"

echo "== the probe"
if ! cmake -S "$repo/tests/package/probe" -B "$work/probe" -DCMAKE_BUILD_TYPE=Release >/dev/null \
    || ! cmake --build "$work/probe" -j "$(nproc)" >/dev/null; then
    die "cannot build the probe"
fi

echo "== install"
we_installed=1
installed_at=$(date +%s)
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
sandboxed() {
    local unit=/lib/systemd/system/$2 out status
    out=$(systemd-analyze security --offline=yes --threshold="$unit_exposure_threshold" "$unit" 2>&1) \
        && status=0 || status=$?
    check "systemd-analyze security rates $2 at most 2.0" "$status" "$(grep 'Overall exposure' <<<"$out")"
}
if command -v systemd-analyze >/dev/null; then
    each_row package_units sandboxed
else
    echo "SKIP  no systemd-analyze: the units' sandbox scores"
fi
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
    "用法：quillet-gateway [--store 路径或地址] 命令 [选项]" "$(head -n 1 <<<"$help")"
# Options are words that begin with one or two dashes, not the inner dash of a name.
options_in() { grep -oE -- '(^|[^[:alnum:]-])--?[a-z][a-z-]*' | sed 's/^[^-]*//' | sort -u; }
page_text() { zcat "$1" | sed 's/\\-/-/g'; }
# The options are compared where both describe the program itself: the help up to its
# examples, the page from its synopsis up to its exit status (examples and files there
# call other programs, with their own options).
same_options() {
    local program manual
    read -r program manual <<<"$2"
    same "$program --help and its manual page name the same options" \
        "$(as_user "$program" --help | sed '/^EXAMPLES/,$d' | options_in)" \
        "$(page_text "$manual" | sed -n '/^\.SH SYNOPSIS/,/^\.SH EXIT STATUS/p' | options_in)"
}
each_row help_pages same_options
# Quillet answers without a display: a platform that does not exist would stop it else.
answers_version() {
    same "$2 --version names the project's version" "$2 $project_version" \
        "$(as_user env QT_QPA_PLATFORM=no-such-platform "$2" --version 2>&1)"
}
each_row version_programs answers_version
page=$(page_text /usr/share/man/man1/quillet-gateway.1.gz)
same "quillet-gateway --help and its manual page name the same commands" \
    "$(sed -n 's/^  \([a-z][a-z]*\).*/\1/p' <<<"$help" | sort -u)" \
    "$(sed -n '/^\.SH COMMANDS/,/^\.SH /{/^\.TP/{n;s/^\.BI\? "\?\([a-z]*\).*/\1/p}}' <<<"$page" | sort -u)"

cards=$(as_user quillet-gateway card issue --value 10) && status=0 || status=$?
check "quillet-gateway card issue exits 0" "$status"
same "quillet-gateway card issue lists one card of 10.00 yuan" \
    "$(printf '卡号\t密码\t面值（元）\n10.00')" \
    "$(sed -n '1p; 2s/.*\t//p' <<<"$cards")"

as_user quillet-gateway-check "$local_gateway" >"$work/check.out" 2>&1 && status=0 || status=$?
check "quillet-gateway-check passes on the installed local component" "$status" \
    "$(grep -v '^PASS' "$work/check.out")"
# Without a plugin file it checks what the console would load: the local component too.
as_user quillet-gateway-check >"$work/check.out" 2>&1 && status=0 || status=$?
check "quillet-gateway-check passes on the component the console picks" "$status" \
    "$(grep -v '^PASS' "$work/check.out")"

as_user env QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$work/probe/plugins" \
    QT_QPA_GENERIC_PLUGINS=quilletprobe QUILLET_PROBE_REPORT="$work/report" \
    timeout 120 /usr/bin/Quillet 2>"$work/quillet.err" && status=0 || status=$?
check "/usr/bin/Quillet runs to its first frame and quits" "$status" "$(cat "$work/quillet.err")"
same "the console answers through the installed local gateway" \
    "$expected_report" "$(cat "$work/report" 2>/dev/null)"
as_user quillet-gateway accounts | grep -q "^ABC-DEF-GHI-12345"$'\t'
check "the operator tool sees the account the console registered" $?

# The installed operator tool through the installed service ($port): a card issued there
# recharges an account that the console's routes register and send from (driven with
# Python's http.client, not our code), and every listing that carries records prints
# through the service exactly what the same tool prints from the service's own store.
operator_through_service() {
    local -a remote=(quillet-gateway --server "http://127.0.0.1:$port" --token-file "$work/operator.token")
    local account=ABC-DEF-GHI-54321 phone=13800138000 command out local_out
    out=$(as_user "${remote[@]}" card issue --value 10 2>&1) && status=0 || status=$?
    check "quillet-gateway --server card issue exits 0" "$status" "$out"
    same "quillet-gateway --server card issue lists one card of 10.00 yuan" \
        "$(printf '卡号\t密码\t面值（元）\n10.00')" "$(sed -n '1p; 2s/.*\t//p' <<<"$out")"
    out=$(python3 - "$port" "$work/console.token" "$account" "$phone" "$(sed -n '2p' <<<"$out")" <<'PYTHON' 2>&1
import http.client, json, sys, uuid
port, token_file, account, phone, card = sys.argv[1:6]
number, password = card.split("\t")[:2]
token = open(token_file).read().strip()
def call(operation, body):
    connection = http.client.HTTPConnection("127.0.0.1", int(port), timeout=30)
    connection.request("POST", "/v1/console/" + operation, json.dumps(body),
                       {"Authorization": "Bearer " + token, "Content-Type": "application/json",
                        "Idempotency-Key": str(uuid.uuid4())})
    answer = connection.getresponse()
    print(operation, answer.status, json.loads(answer.read()).get("outcome"))
call("register", {"accountNo": account, "password": "deb-test"})
call("recharge", {"accountNo": account, "cardNo": number, "cardPassword": password})
call("sendMessage", {"accountNo": account, "phoneNo": phone, "text": "deb-test"})
PYTHON
    )
    same "the console's routes register, recharge with the issued card and send" \
        "$(printf 'register 200 -1\nrecharge 200 -1\nsendMessage 200 -1')" "$out"
    out=$(as_user "${remote[@]}" mo --from 13900139000 --to "$account" deb-test 2>&1) && status=0 || status=$?
    check "quillet-gateway --server mo exits 0" "$status" "$out"
    for command in accounts "messages --account $account" "handset $phone" links unmatched; do
        # shellcheck disable=SC2086  # the command's words
        out=$(as_user "${remote[@]}" $command 2>&1) && status=0 || status=$?
        check "quillet-gateway --server $command exits 0" "$status" "$out"
        # shellcheck disable=SC2086
        local_out=$(as_service quillet-gateway "${service_store[@]}" $command 2>&1)
        same "quillet-gateway --server $command prints what it prints from the store" \
            "$local_out" "$out"
    done
    same "the account's balance after the card and one message" "9.90" \
        "$(as_user "${remote[@]}" accounts | awk -F'\t' -v a="$account" '$1 == a { print $4 }')"
    grep -q 'deb-test' <<<"$(as_user "${remote[@]}" handset "$phone")"
    check "the phone received the message" $?
}

if built quillet-gatewayd; then
    getent passwd "$service_user" >/dev/null
    check "the system user $service_user exists" $?
    # It was not there before (see above): the installation made it, from tmpfiles.d.
    made_state_dir=1
    same "the installation makes $state_dir for $service_user alone" \
        "directory 700 $service_user:$service_user" "$(stat -c '%F %a %U:%G' "$state_dir" 2>&1)"
    # As the service runs: its user, the installed settings file, the default store.
    runuser -u "$service_user" -- env -i PATH=/usr/sbin:/usr/bin quillet-gatewayd \
        token issue --role console --name deb-test >"$work/token" 2>&1 && status=0 || status=$?
    check "quillet-gatewayd issues a token as $service_user with the installed settings" \
        "$status" "$(cat "$work/token")"
    [ -s "$state_dir/gateway.sqlite3" ]
    check "the service's store is made in $state_dir" $?

    # The installed remote component against the installed service: a console token, the
    # user's remote.conf, and the checker on the remote component's file.
    if [ -d /run/systemd/system ]; then
        # systemd runs this machine: the installed unit runs the service in its sandbox,
        # with the installed settings and store. The installation has started it, unless
        # a policy-rc.d kept it from doing so.
        as_service() { runuser -u "$service_user" -- env -i PATH=/usr/sbin:/usr/bin "$@"; }
        as_service quillet-gatewayd token issue --role console --name remote-check \
            >"$work/console.token" 2>/dev/null
        as_service quillet-gatewayd token issue --role operator --name operator-check \
            >"$work/operator.token" 2>/dev/null
        service_store=("--store" "sqlite:$state_dir/gateway.sqlite3")
        service_unit=quillet-gatewayd.service
        systemctl start "$service_unit"
        check "systemctl start $service_unit" $?
        service_log() {
            journalctl --sync
            journalctl -q -o cat --no-pager -u "$service_unit" --since "@$installed_at"
        }
        service_up() { systemctl is-active -q "$service_unit"; }
    else
        as_service() { as_user "$@"; }
        service_store=("--store" "sqlite:$work/service.sqlite3")
        for role in console operator; do
            as_user quillet-gatewayd "${service_store[@]}" \
                token issue --role "$role" --name "$role-check" >"$work/$role.token" 2>/dev/null
        done
        # A plain command, not the as_user function: $! is then the service itself (env
        # execs it), which stop_service ends. Its output goes to a file, so no pipe waits.
        "${user_env[@]}" quillet-gatewayd --store "sqlite:$work/service.sqlite3" \
            --listen 127.0.0.1 --port 0 >/dev/null 2>"$work/service.err" &
        service_pid=$!
        service_log() { cat "$work/service.err"; }
        service_up() { kill -0 "$service_pid" 2>/dev/null; }
    fi
    chmod 0600 "$work/console.token" "$work/operator.token"
    port=
    for _ in $(seq 100); do
        port=$(service_log | sed -n 's/^quillet-gatewayd: listening on 127\.0\.0\.1 port \([0-9]*\)$/\1/p' | tail -n 1)
        [ -n "$port" ] || ! service_up && break
        sleep 0.1
    done
    if [ -n "$port" ]; then
        # The unit reloads with SIGHUP, which keeps the process and its connections.
        # shellcheck disable=SC2016  # the unit's own $MAINPID, not this shell's
        grep -qxF 'ExecReload=/bin/kill -HUP $MAINPID' /lib/systemd/system/quillet-gatewayd.service
        check "the unit reloads the service with SIGHUP" $?
        # The request log is off by default. A reload turns it on: under systemd into its
        # file in the unit's LogsDirectory (inside the sandbox), else on standard error.
        if [ -n "$service_unit" ]; then
            request_log=/var/log/quillet/requests.log
            service_main_pid() { systemctl show -P MainPID "$service_unit"; }
            reload_service() { systemctl reload "$service_unit"; }
            request_lines() { cat "$request_log" 2>/dev/null; }
        else
            request_log=stderr
            service_main_pid() { echo "$service_pid"; }
            reload_service() { kill -HUP "$service_pid"; }
            request_lines() { service_log; }
        fi
        pid_before=$(service_main_pid)
        printf 'request_log=%s\n' "$request_log" >>/etc/quillet/gatewayd.conf
        reload_service
        check "the service is told to reload" $?
        reloaded=
        for _ in $(seq 100); do
            reloaded=$(service_log | grep -F 'quillet-gatewayd: reload' | tail -n 1)
            [ -n "$reloaded" ] && break
            sleep 0.1
        done
        same "the service logs what it reloaded" \
            "quillet-gatewayd: reloaded: limits, request log $request_log" "$reloaded"
        service_up && [ "$(service_main_pid)" = "$pid_before" ]
        check "the reload keeps the service running in the same process" $?

        mkdir -p "$home/.config/quillet-gateway"
        printf 'url=http://127.0.0.1:%s\ntoken_file=%s\n' "$port" "$work/console.token" \
            >"$home/.config/quillet-gateway/remote.conf"
        as_user quillet-gateway-check "$remote_gateway" >"$work/check.out" 2>&1 && status=0 || status=$?
        check "quillet-gateway-check passes on the remote component with the installed service" \
            "$status" "$(grep -v '^PASS' "$work/check.out")"
        # A refused token would pass the contract too (a failure Status is allowed): the
        # service's request log shows the calls were answered. The file is written out
        # every second.
        # (grep reads the whole log: with -q, pipefail would fail on the writer's SIGPIPE.)
        answered() { request_lines | grep -E "^[^ ]+ 127\.0\.0\.1 $1 " >/dev/null; }
        for _ in $(seq 30); do answered 'register 200' && break; sleep 0.1; done
        answered 'register 200'
        check "the service answered the remote component's calls" $?
        rm -r "$home/.config/quillet-gateway"

        # The installed logrotate file turns the request log; the service goes on in a new
        # file at the path.
        if [ -n "$service_unit" ] && command -v logrotate >/dev/null; then
            logrotate -f /etc/logrotate.d/quillet-gatewayd
            check "logrotate turns the request log" $? "$(ls -l /var/log/quillet)"
            [ -s "$request_log.1" ]
            check "the turned request log keeps its lines" $?
            # One request by hand (a missing token: 401), on bash's own TCP.
            exec 3<>"/dev/tcp/127.0.0.1/$port" \
                && printf 'POST /v1/console/queryBalance HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}' >&3 \
                && cat <&3 >/dev/null
            exec 3<&-
            for _ in $(seq 30); do answered 'queryBalance 401' && break; sleep 0.1; done
            answered 'queryBalance 401'
            check "the service writes its request log anew after logrotate" $? "$(request_lines)"
        else
            echo "SKIP  no systemd or no logrotate: the request log's rotation"
        fi
        operator_through_service
    else
        check "the installed service listens on 127.0.0.1" 1 "$(service_log)"
    fi
    stop_service
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
if [ "$made_state_dir" -eq 1 ]; then
    [ -s "$state_dir/gateway.sqlite3" ]
    check "the service's store is kept" $?
fi

echo "== $failures failed"
[ "$failures" -eq 0 ]
