#!/usr/bin/env bash
# Runs the install library's Windows test program under Wine set to report one
# Windows version, in a fresh prefix.
# Usage: run_wine_test.sh <prefix dir> <wine version> <expected major> <test.exe> <qvdinst.dll>
set -euo pipefail
prefix=$1 version=$2 major=$3 exe=$4 dll=$5

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
rm -rf "$prefix"
mkdir -p "$prefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

start=$SECONDS
wineboot -i >/dev/null 2>&1
# Wine takes the version it reports from the user's Software\Wine key.
wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
wineserver -w
echo "prefix ready in $((SECONDS - start)) s"

cp "$dll" "$prefix/qvdinst.dll"
wine "$exe" "$(winepath -w "$prefix/qvdinst.dll" 2>/dev/null)" "$major"
