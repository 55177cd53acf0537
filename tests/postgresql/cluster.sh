#!/bin/bash
# One throwaway PostgreSQL cluster for a whole test run, shared by the tests that need a
# server (each in a database of its own), so that the run starts one server, not one
# per test:
#
#   cluster.sh start DIR          starts it (pg_virtualenv), waits until it is up, and
#                                 leaves its PG* variables in DIR/environment
#   cluster.sh run DIR -- CMD...  runs CMD with those variables
#   cluster.sh stop DIR           stops it and removes it
#   (cluster.sh serve DIR PID     what runs inside pg_virtualenv)
#
# The server also stops by itself once the process that started it (the test driver) is
# gone, so an interrupted run leaves nothing behind. Durability is not under test here:
# fsync is off, which makes commits ten times quicker.
set -euo pipefail

command=${1:?start, run or stop}
dir=${2:?the folder of the cluster}
shift 2

case $command in
start)
    rm -rf "$dir"
    mkdir -p "$dir"
    driver=$PPID
    setsid pg_virtualenv -t -o fsync=off -o synchronous_commit=off -o full_page_writes=off \
        -o max_connections=300 -- "$0" serve "$dir" "$driver" </dev/null >"$dir/log" 2>&1 &
    echo $! >"$dir/pid"
    for _ in $(seq 600); do
        [ -e "$dir/environment" ] && exit 0
        kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "the test cluster did not start:" >&2
    cat "$dir/log" >&2
    exit 1
    ;;
serve)
    # Inside pg_virtualenv: the roles every test's store is granted to, made once (roles
    # belong to the whole cluster, and tests making them at once would collide); then
    # the variables, and the wait.
    # Passwords are checked with md5, not SCRAM: SCRAM's 4096 rounds cost each connection
    # some 40 ms of both sides' time here, and a suite opens hundreds (a role whose
    # password is stored for SCRAM still signs on with SCRAM).
    hba=$(psql -Atc "SHOW hba_file")
    sed -i 's/scram-sha-256$/md5/' "$hba"
    psql -q -v ON_ERROR_STOP=1 -c "ALTER SYSTEM SET password_encryption = 'md5'" \
        -c "SET password_encryption = 'md5'" -c "ALTER ROLE $PGUSER PASSWORD '$PGPASSWORD'" \
        -c "CREATE ROLE quillet_gateway NOLOGIN" \
        -c "CREATE ROLE quillet_service LOGIN PASSWORD '$PGPASSWORD' IN ROLE quillet_gateway" \
        -c "SELECT pg_reload_conf()"
    export -p | grep -E '^declare -x PG' >"$dir/environment.part"
    mv "$dir/environment.part" "$dir/environment"
    driver=${1:?the process id of the driver}
    while [ ! -e "$dir/stop" ] && kill -0 "$driver" 2>/dev/null; do sleep 0.5; done
    ;;
run)
    [ "${1:-}" = -- ] && shift
    if [ ! -e "$dir/environment" ]; then
        echo "no test cluster in $dir: run its start first" >&2
        exit 1
    fi
    # shellcheck disable=SC1091
    source "$dir/environment"
    exec "$@"
    ;;
stop)
    touch "$dir/stop"
    pid=$(cat "$dir/pid" 2>/dev/null || true)
    for _ in $(seq 300); do
        [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.1
    done
    echo "the test cluster did not stop" >&2
    exit 1
    ;;
*)
    echo "usage: cluster.sh start|run|stop DIR [-- COMMAND...]" >&2
    exit 2
    ;;
esac
