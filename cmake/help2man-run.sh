#!/bin/sh
# Runs PROGRAM with the arguments help2man gives (--help, --version), its error stream merged
# and option lines that start in the first column indented and set off from their text by two
# blanks, the form help2man reads as a list. Called by a script named after the program (see
# cmake/OrxPackage.cmake), so that the manual page bears the program's name:
#   help2man-run.sh PROGRAM ARGS...   (PROGRAM: the built executable)
program=$1
shift
"$program" "$@" 2>&1 | sed -E 's/^(-[-a-zA-Z]+( <[^>]*>)?) +/  \1  /'
