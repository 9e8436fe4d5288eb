#!/usr/bin/env bash
# Checks a manual page against its program: groff renders it without a
# warning, and the options it describes are exactly those that --help lists.
#   check_man_page.sh PAGE PROGRAM
set -euo pipefail
page="$1"
program="$2"

warnings="$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)"
if [ -n "$warnings" ]; then
    echo "groff warns about $page:"
    echo "$warnings"
    exit 1
fi

# Options of the page: the tags of its .TP paragraphs under OPTIONS.
page_options="$(awk '/^\.SH /{in_options = ($2 == "OPTIONS")} in_options && tag {print; tag = 0}
                     in_options && /^\.TP/{tag = 1}' "$page" |
    sed 's/\\f[BIRP]//g; s/\\-/-/g' | grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z-]*' |
    tr -d ' ,' | sort -u)"
# Options of --help: those that begin a line (after indentation), with their
# aliases after a comma.
help_options="$("$program" --help | grep -E '^ +-' |
    grep -oE '^ +(--?[A-Za-z][A-Za-z-]*)(, --?[A-Za-z][A-Za-z-]*)*' |
    tr ',' '\n' | tr -d ' ' | sort -u)"
if [ "$page_options" != "$help_options" ]; then
    echo "$page and $program --help list different options:"
    diff <(echo "$page_options") <(echo "$help_options") || true
    exit 1
fi
echo "$page: $(echo "$page_options" | wc -l) options, as --help lists them"
