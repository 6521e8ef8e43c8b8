#!/usr/bin/env bash
# Checks of kite-cluster's output, run by CTest: kite_cluster_test.sh TOOL CASE
#
#   net       serve, ping and fanout together on loopback (127.0.0.1-3)
#   output    every command fails when its output cannot be written
#   input     configurations from pipes, /dev/stdin and "-"; a byte-order mark
#   load      a failed load says in words what failed
#   usage     a usage error prints one usage line and a pointer to --help
#   warnings  check's warnings with their lines, and check --strict
#
# Every tool run but serve is bounded by `timeout`; serve processes are
# started and stopped by their process ids, and killed on any exit of this
# script (and with it by CTest's time-out).
set -u
TOOL=$1
CASE=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kite-cluster-test.XXXXXX")
PIDS=()
FAILS=0

cleanup() {
    cleanup_servers
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "FAIL: $*" >&2
    FAILS=$((FAILS + 1))
}

# run NAME ARGS...: runs the tool with its output in $WORK/NAME.out and .err;
# sets STATUS.
run() {
    local name=$1
    shift
    timeout 20 "$TOOL" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"
    STATUS=$?
}

# expect_status NAME WANT
expect_status() {
    [ "$STATUS" -eq "$2" ] || fail "$1: exit status $STATUS, expected $2"
}

# expect NAME out|err TEXT: TEXT is one whole line of the output (fixed string).
expect() {
    grep -qxF -- "$3" "$WORK/$1.$2" ||
        { fail "$1: no line \"$3\" in standard $2:"; cat "$WORK/$1.$2" >&2; }
}

# expect_in NAME out|err TEXT: TEXT occurs in the output.
expect_in() {
    grep -qF -- "$3" "$WORK/$1.$2" ||
        { fail "$1: no \"$3\" in standard $2:"; cat "$WORK/$1.$2" >&2; }
}

SAMPLE='[group-a]
port = 5300
net_type = inner

[server-1]
host = 10.0.0.1

[server-2]
host = 10.0.0.2
'

case_output() {
    printf '%s' "$SAMPLE" >"$WORK/c.conf"
    for args in "check $WORK/c.conf" "render $WORK/c.conf" "dump $WORK/c.conf" \
                "lookup $WORK/c.conf 2" "--help" "ping --help"; do
        # shellcheck disable=SC2086
        timeout 20 "$TOOL" $args >/dev/full 2>"$WORK/full.err"
        STATUS=$?
        expect_status "$args > /dev/full" 1
        expect full err "kite-cluster: cannot write the output: No space left on device"
    done
}

case_input() {
    printf '%s' "$SAMPLE" >"$WORK/c.conf"
    local ok="ok, groups: 1, servers: 2, addresses: 2"
    run dash check - <"$WORK/c.conf"
    expect dash out "(stdin): $ok"
    # cat on purpose: the configuration must come through a pipe.
    # shellcheck disable=SC2002
    cat "$WORK/c.conf" | timeout 20 "$TOOL" check - >"$WORK/pipe.out" 2>&1
    expect pipe out "(stdin): $ok"
    # shellcheck disable=SC2002
    cat "$WORK/c.conf" | timeout 20 "$TOOL" check /dev/stdin >"$WORK/devstdin.out" 2>&1
    expect devstdin out "/dev/stdin: $ok"
    run subst check <(cat "$WORK/c.conf")
    expect_status subst 0
    expect_in subst out ": $ok"
    printf '\xEF\xBB\xBF%s' "$SAMPLE" >"$WORK/bom.conf"
    run bom check "$WORK/bom.conf"
    expect bom out "$WORK/bom.conf: $ok"
}

case_load() {
    : >"$WORK/empty.conf"
    run empty check "$WORK/empty.conf"
    expect_status empty 1
    expect empty err "kite-cluster: $WORK/empty.conf: not loaded: the file is empty (errno: 2)"
    printf '[group-a]\nport = 5300\nnet_type = inner\n' >"$WORK/noserver.conf"
    run noserver check "$WORK/noserver.conf"
    expect_in noserver err "config filename: $WORK/noserver.conf, no server section such as [server-\$id]"
    expect noserver err "kite-cluster: $WORK/noserver.conf: not loaded: no server section ([server-ID]) (errno: 2)"
    run missing check "$WORK/none.conf"
    expect missing err "kite-cluster: $WORK/none.conf: not loaded: cannot read the file: No such file or directory (errno: 2)"
    printf '[server-1\n' >"$WORK/bad.conf"
    run bad render "$WORK/bad.conf"
    expect_in bad err "not loaded: the text is not valid INI"
    expect_status bad 1
}

case_usage() {
    run noargs check
    expect_status noargs 2
    run option lookup --bogus x
    expect_status option 2
    run command frobnicate
    expect_status command 2
    for name in noargs option command; do
        [ "$(wc -l <"$WORK/$name.err")" -eq 3 ] ||
            { fail "$name: usage error is not 3 lines"; cat "$WORK/$name.err" >&2; }
    done
    expect noargs err "usage: kite-cluster check [--strict] [LOAD OPTIONS] FILE"
    expect noargs err "Try 'kite-cluster check --help'."
    expect option err "kite-cluster lookup: unknown option: --bogus"
    expect command err "Try 'kite-cluster --help'."
    run help fanout --help
    expect_status help 0
    expect help out "usage: kite-cluster fanout [--group NAME] [--timeout-ms N] [LOAD OPTIONS] FILE MESSAGE"
}

case_warnings() {
    cat >"$WORK/w.conf" <<'EOF'
port = 5000
[group-a]
port = 5000
net_type = inner
net_type = outer
weight = 3
[srever-1]
host = 10.0.0.1
[server-1]
host = ::1
a-port = 5001
a-port = 5002
[server-2]
host = 0::1
host = ::ffff:10.0.0.9
[server-3]
host = 10.0.0.9
host = ::1
[server-1]
host = 10.0.0.7
EOF
    local f="$WORK/w.conf"
    run warn check "$f"
    expect_status warn 0
    expect warn out "$f:1: warning: item \"port\" is ignored: a global \"port\" is read only when there is no group section"
    expect warn out "$f:5: warning: item \"net_type\" repeats in section [group-a] (first at line 4)"
    expect warn out "$f:6: warning: item \"weight\" is ignored: a group section has only \"port\", \"net_type\" and \"ip_prefix\""
    expect warn out "$f:7: warning: section [srever-1] is neither a group- nor a server- section; the loader ignores it"
    expect warn out "$f:12: warning: item \"a-port\" repeats in section [server-1] (first at line 11)"
    expect warn out "$f:17: warning: address 10.0.0.9:5000 of server 3 is the address [::ffff:10.0.0.9]:5000 of server 2 (line 15) written differently"
    expect warn out "$f:18: warning: address [::1]:5000 of server 3 is the address [0::1]:5000 of server 2 (line 14) written differently"
    expect warn out "$f:19: warning: section [server-1] appears again (first at line 9); the reader merges the two"
    expect warn out "$f: ok, groups: 1, servers: 3, addresses: 6, warnings: 8"
    run strict check --strict "$f"
    expect_status strict 1
    expect strict out "$f: failed under --strict, warnings: 8"
    printf '%s' "$SAMPLE" >"$WORK/c.conf"
    run clean check --strict "$WORK/c.conf"
    expect_status clean 0
    [ "$(wc -l <"$WORK/clean.out")" -eq 1 ] || fail "clean: warnings for a clean file"
}

# Starts the three servers on ports BASE+1..3; 0 when all listen.
start_servers() {
    local base=$1 conf=$WORK/net.conf
    cat >"$conf" <<EOF
[group-demo]
port = $((base + 1))
net_type = inner

[server-1]
host = 127.0.0.1

[server-2]
demo-port = $((base + 2))
host = 127.0.0.2
host = 127.0.0.3

[server-3]
demo-port = $((base + 3))
host = 127.0.0.3
EOF
    PIDS=()
    "$TOOL" serve "$conf" 1 >"$WORK/serve1.out" 2>&1 &
    PIDS+=($!)
    "$TOOL" serve "$conf" 2 --skip "127.0.0.2:$((base + 2))" >"$WORK/serve2.out" 2>&1 &
    PIDS+=($!)
    "$TOOL" serve --group demo "$conf" 3 >"$WORK/serve3.out" 2>&1 &
    PIDS+=($!)
    for _ in $(seq 50); do
        if [ "$(cat "$WORK"/serve?.out | grep -c 'listening on')" -eq 3 ]; then
            return 0
        fi
        for pid in "${PIDS[@]}"; do
            kill -0 "$pid" 2>/dev/null || break 2
        done
        sleep 0.1
    done
    cleanup_servers
    return 1
}

cleanup_servers() {
    for pid in "${PIDS[@]}"; do [ -n "$pid" ] && kill "$pid" 2>/dev/null; done
    for pid in "${PIDS[@]}"; do [ -n "$pid" ] && wait "$pid" 2>/dev/null; done
    PIDS=()
}

# stop_server INDEX SIGNAL: stops one server by its pid, checks its exit.
stop_server() {
    local pid=${PIDS[$1]}
    kill "-$2" "$pid"
    wait "$pid"
    STATUS=$?
    PIDS[$1]=
    expect_status "serve $(($1 + 1)) on SIG$2" 0
    expect "serve$(($1 + 1))" out "server $(($1 + 1)): stopped by SIG$2"
}

case_net() {
    local base started=no
    for _ in 1 2 3 4 5; do
        base=$((20000 + RANDOM % 30000))
        if start_servers "$base"; then started=yes; break; fi
    done
    [ "$started" = yes ] || { fail "serve: no free ports"; return; }
    local p1=$((base + 1)) p2=$((base + 2)) p3=$((base + 3)) conf=$WORK/net.conf
    expect serve2 out "server 2: skipping 127.0.0.2:$p2"

    run ping ping --timeout 5 "$conf"
    expect_status ping 0
    expect ping out "server 1: answered by 127.0.0.1:$p1 (address 1 of 1)"
    expect ping out "server 2: answered by 127.0.0.3:$p2 (address 2 of 2); 127.0.0.2:$p2: Connection refused"
    expect ping out "server 3: answered by 127.0.0.3:$p3 (address 1 of 1)"
    expect ping out "ping: 3 servers, 3 answered"
    run bind ping --bind 127.0.0.2 --group demo "$conf"
    expect_status bind 0

    run fanout fanout --timeout-ms 5000 "$conf" hello
    expect_status fanout 0
    for line in "server 1 127.0.0.1:$p1" "server 2 127.0.0.3:$p2" "server 3 127.0.0.3:$p3"; do
        # 16-byte header + "server N: hello"
        grep -qE "^$line: ok, reply 31 bytes in [0-9.]+ ms$" "$WORK/fanout.out" ||
            { fail "fanout: no ok line for $line"; cat "$WORK/fanout.out" >&2; }
    done
    grep -qE "^fanout: 3 servers, 3 replied, 0 failed, [0-9.]+ ms$" "$WORK/fanout.out" ||
        fail "fanout: no summary line"

    # A stopped server still completes connections in its backlog but never
    # answers: its entry times out, the others reply.
    kill -STOP "${PIDS[2]}"
    run slow fanout --timeout-ms 1000 "$conf" hi
    kill -CONT "${PIDS[2]}"
    expect_status slow 1
    expect_in slow out "server 3 127.0.0.3:$p3: failed: Connection timed out, after "
    expect_in slow out "fanout: 3 servers, 2 replied, 1 failed, "
    # A peer that sends no frame is dropped; the server goes on serving.
    timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$p1; printf '%020d' 0 >&3; cat <&3" \
        >"$WORK/garbage.out" 2>&1
    STATUS=$?
    expect_status "serve 1 given a bad frame" 0
    [ -s "$WORK/garbage.out" ] && fail "serve 1 answered a bad frame"
    run again fanout "$conf" again
    expect_status again 0

    stop_server 2 TERM
    run ping3 ping "$conf"
    expect_status ping3 1
    expect ping3 out "server 3: no answer from 1 address; 127.0.0.3:$p3: Connection refused"
    expect ping3 out "ping: 3 servers, 2 answered, 1 without answer"
    run fanout3 fanout "$conf" hi
    expect_status fanout3 1
    expect fanout3 out "server 3 127.0.0.3:$p3: not connected: Connection refused"
    expect_in fanout3 out "fanout: 3 servers, 2 replied, 1 failed, "
    stop_server 0 INT
    stop_server 1 TERM
}

"case_$CASE"
if [ "$FAILS" -ne 0 ]; then
    echo "$CASE: $FAILS checks failed" >&2
    exit 1
fi
echo "$CASE: all checks passed"
