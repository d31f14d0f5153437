#!/bin/sh
# Runs PROGRAM with the arguments help2man gives (--help, --version), its error stream merged
# and option lines that start in the first column indented and set off from their text by two
# blanks, the form help2man reads as a list. A help text without a "Usage:" line (orxgui keeps
# its original one) gets one, and an "Options:" heading before its first option, so that the
# page has its SYNOPSIS and OPTIONS sections; a usage line continued on an indented line is
# joined. Called by a script named after the program (see
# cmake/OrxPackage.cmake), so that the manual page bears the program's name:
#   help2man-run.sh PROGRAM ARGS...   (PROGRAM: the built executable)
program=$1
shift
output=$("$program" "$@" 2>&1)
status=$?
if [ "$1" = "--help" ] && ! printf '%s\n' "$output" | grep -q '^Usage:'; then
    printf 'Usage: %s [OPTION]...\n\n' "$(basename "$program")"
    printf '%s\n' "$output" | awk '!done && /^--/ { print "Options:"; done = 1 } { print }'
else
    printf '%s\n' "$output"
fi | awk '
    # A usage line continued on the next, indented line (orxcache keeps its original text) is
    # one line for the SYNOPSIS.
    usage != "" && /^ +\[/ { sub(/^ +/, ""); usage = usage " " $0; next }
    usage != "" { print usage; usage = "" }
    /^Usage: / { usage = $0; next }
    { print }
    END { if (usage != "") print usage }' | sed -E 's/^(-[-a-zA-Z]+( <[^>]*>)?) +/  \1  /'
exit $status
