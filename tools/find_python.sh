#!/usr/bin/env sh
# Prints a working interpreter for the wanted version (e.g. 3.13): on PATH,
# or installed through pyenv even when pyenv's global version is another;
# falls back to python3.
want="$1"
for candidate in "python$want" \
        "$(pyenv root 2>/dev/null)/versions/$want"*/bin/"python$want" \
        "$HOME/.pyenv/versions/$want"*/bin/"python$want" \
        /usr/local/bin/"python$want" /usr/bin/"python$want"; do
    if [ -n "$candidate" ] && "$candidate" -c 'import sys, venv' >/dev/null 2>&1; then
        command -v "$candidate" 2>/dev/null || echo "$candidate"
        exit 0
    fi
done
echo python3
