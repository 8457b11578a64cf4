#!/bin/bash
# The folders under src are layers: a file includes only from its own folder
# and from the layers below it, so no include runs back up and none closes a
# circle. Prints every include that breaks this and fails when there is one.
set -euo pipefail
SRC="${1:?usage: layers_test.sh SOURCE_DIR/src}"

rank() {
    case "$1" in
        base) echo 0 ;;
        process) echo 1 ;;
        jobs | logs | fetch) echo 2 ;;
        ytdlp | download | demucs) echo 3 ;;
        separation) echo 4 ;;
        batch | mixer) echo 5 ;;
        session) echo 6 ;;
        cli | gui) echo 7 ;;
        app) echo 8 ;;
        *) echo unknown ;;
    esac
}

bad=0
cd "$SRC"
while IFS= read -r file; do
    from="${file%%/*}"
    from_rank="$(rank "$from")"
    if [ "$from_rank" = unknown ]; then
        echo "$file: the folder $from is not a known layer"
        bad=1
        continue
    fi
    while IFS= read -r target; do
        to="${target%%/*}"
        [ "$to" = "$from" ] && continue
        to_rank="$(rank "$to")"
        if [ "$to_rank" = unknown ] || [ "$to_rank" -ge "$from_rank" ]; then
            echo "$file includes $target: $from may not include $to"
            bad=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort)
exit "$bad"
