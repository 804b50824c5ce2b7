# Sourced by the CLI tests, which run zerloctl ($ZERLOCTL) as a user does.
# Every check prints "ok   NAME", or "FAIL NAME" with what it got, so that the
# log shows which ran; `finish` ends a script, failing if any check did.
# $work is a scratch directory, removed on exit.
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# same NAME EXPECTED ACTUAL [COMMAND]: two texts are equal; a failure names the
# COMMAND that gave ACTUAL.
same() {
    if [ "$2" = "$3" ]; then
        echo "ok   $1"
    else
        printf 'FAIL %s%s\n  want:\n%s\n  got:\n%s\n' "$1" "${4:+: $4}" "$2" "$3"
        failures=$((failures + 1))
    fi
}

# check NAME EXPECTED_EXIT EXPECTED_OUTPUT -- ARGS...: zerloctl's whole output,
# stderr included, and its exit status.
check() {
    name=$1 want_exit=$2 want=$3
    shift 4
    got=$("$ZERLOCTL" "$@" 2>&1)
    status=$?
    same "$name" "$want
exit $want_exit" "$got
exit $status" "zerloctl $*"
}

# check_lines NAME EXPECTED_EXIT EXIT FILE PATTERN...: a command's exit status,
# and for each extended regular expression a line of its output (FILE) that
# matches it.
check_lines() {
    name=$1 want_exit=$2 status=$3 file=$4
    shift 4
    for pattern in "$@"; do
        if [ "$status" -ne "$want_exit" ] || ! grep -Eq -- "$pattern" "$file"; then
            printf 'FAIL %s: exit %s (want %s), /%s/ in:\n' "$name" "$status" "$want_exit" "$pattern"
            cat "$file"
            failures=$((failures + 1))
            return
        fi
    done
    echo "ok   $name"
}

# check_match NAME EXPECTED_EXIT PATTERN -- ARGS...: check_lines on zerloctl's
# output, stderr included.
check_match() {
    name=$1 want_exit=$2 pattern=$3
    shift 4
    "$ZERLOCTL" "$@" >"$work/output" 2>&1
    check_lines "$name" "$want_exit" $? "$work/output" "$pattern"
}

finish() {
    [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "all checks passed"
}
