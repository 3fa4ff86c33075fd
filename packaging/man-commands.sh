#!/bin/sh
# Prints a help2man include file with a COMMANDS section for a program that
# lists its commands in its --help (indented, one a line, after "Commands:")
# and explains each in "PROGRAM COMMAND --help": usage line, blank line,
# the explanation, blank line, the exit status.
# usage: man-commands.sh PROGRAM NAME   (NAME: the program's name in the page)
set -eu
program=$1
name=$2
echo '[COMMANDS]'
"$program" --help | sed -n '/Commands:$/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p' | while read -r command; do
    usage=$("$program" "$command" --help | sed -n "1s/^usage: $name //p" | sed 's/ *$//')
    printf '.TP\n\\fB%s\\fR\n' "$(printf '%s' "$usage" | sed 's/-/\\-/g')"
    # The explanation; a line that starts with a dot or a quote is escaped.
    "$program" "$command" --help | awk 'NR > 2 && /^$/ { exit } NR > 2' |
        sed 's/\\/\\e/g; s/^[.'"'"']/\\\&&/'
done
