#!/usr/bin/env bash
# Writes the update server's version document.
#
#   make-version-document.sh <output> <version> <web-page-url> [<language>=<notice>]...
#
# The language is a lower-case code such as sk or en; the tray shows the notice whose
# code equals its own language. Example:
#   make-version-document.sh version.xml 2.7.0 https://kestrum.eu/quillet \
#       "sk=Nová verzia prináša ..." "en=The new version brings ..."
set -euo pipefail

if [[ $# -lt 3 ]]; then
    echo "usage: $(basename "$0") <output> <version> <web-page-url> [<language>=<notice>]..." >&2
    exit 2
fi
output=$1
version=$2
url=$3
shift 3

if [[ ! $version =~ ^[0-9]+(\.[0-9]+)*$ ]]; then
    echo "version must be dot-separated decimal numbers, such as 2.7.0: $version" >&2
    exit 1
fi
if [[ -z ${url//[[:space:]]/} ]]; then
    echo "the web page address must not be empty" >&2
    exit 1
fi

for entry in "$@"; do
    if [[ $entry != *=* || ! ${entry%%=*} =~ ^[a-z]{2,3}$ ]]; then
        echo "a notice is <language>=<text> with a lower-case language code: $entry" >&2
        exit 1
    fi
done

escape() {
    printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'
}

{
    printf '<?xml version="1.0" encoding="UTF-8"?>\n'
    printf '<Quillet>\n'
    printf '    <version>%s</version>\n' "$version"
    printf '    <url>%s</url>\n' "$(escape "$url")"
    if [[ $# -gt 0 ]]; then
        printf '    <notice>\n'
        for entry in "$@"; do
            language=${entry%%=*}
            notice=${entry#*=}
            printf '        <%s>%s</%s>\n' "$language" "$(escape "$notice")" "$language"
        done
        printf '    </notice>\n'
    fi
    printf '</Quillet>\n'
} >"$output.tmp"
mv "$output.tmp" "$output"
