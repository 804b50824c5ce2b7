#!/bin/sh
# The import check fails, naming the DLL and the function, on a program that
# imports a function newer than Windows XP.
set -u
CHECK=$1 EXPORTS=$2 POST_XP=$3
. "$(dirname "$0")/../client/cli_check.sh"

got=$(/usr/bin/python3 "$CHECK" --exports "$EXPORTS" "$POST_XP" 2>&1)
same post-xp-import-named "FAIL post_xp_import.exe: KERNEL32.dll GetTickCount64: not exported by Windows XP
exit 1" "$got
exit $?"

finish
