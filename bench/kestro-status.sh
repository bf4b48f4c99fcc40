#!/bin/sh
# The shell reader that the kestro-status command replaced, kept here only so
# that scripts/bench can measure a call of each side by side. Not installed.
#
# kestro-status: kestro's status files in one line, for a status bar, a shell
# prompt or a script, for example
#
#     Connected, 57.1%, Charging, full in 0:25
#     Disconnected, 43.2%, Discharging, shutdown in 2:05
#
# Usage: kestro-status [DIRECTORY]
# DIRECTORY defaults to $KESTRO_STATUS_DIR, then /run/kestro. A value whose
# file is absent (never known yet) is left out. " (stale)" is added when no
# file has changed for $KESTRO_STATUS_MAX_AGE seconds (default 10): kestro
# rewrites every known value about once a second, so it is not running.
# Exit status: 0 with a summary, 1 when there is no status file at all.
#
# kestro replaces each file whole (rename), so one read of a file always
# gives one whole value. Times are H:MM, rounded to the minute.
set -u

dir=${1:-${KESTRO_STATUS_DIR:-/run/kestro}}
max_age=${KESTRO_STATUS_MAX_AGE:-10}

# The value of one status file without its newline; fails when it is absent.
value() {
    [ -f "$dir/$1" ] && cat -- "$dir/$1" 2>/dev/null
}

# Whether $1 is a plain decimal number, as kestro writes finite values
# (infinity is "inf", not a number is "NaN").
is_number() {
    case $1 in
        '' | - | *[!0-9.-]* | *.*.* | ?*-* | *. | .* | -.*) return 1 ;;
    esac
    return 0
}

# Whether $1 is a number of seconds worth showing: finite and above 0.
is_duration() {
    is_number "$1" && case $1 in -* | 0) false ;; esac
}

# Seconds as H:MM.
duration() {
    awk -v seconds="$1" 'BEGIN { m = int(seconds / 60 + 0.5); printf "%d:%02d", int(m / 60), m % 60 }'
}

summary=""
add() {
    summary=${summary:+$summary, }$1
}

found=no
if ac=$(value ac_status); then found=yes; add "$ac"; fi
if percent=$(value battery_percent); then
    found=yes
    if is_number "$percent"; then
        add "$(awk -v p="$percent" 'BEGIN { printf "%.1f%%", p }')"
    else
        add "$percent%"
    fi
fi
if battery=$(value battery_status); then found=yes; add "$battery"; fi
until_full=$(value secs_until_battery_full) && found=yes
until_shutdown=$(value secs_until_shutdown_request) && found=yes

if [ "$found" = no ]; then
    echo "kestro-status: no status in $dir (is kestro running?)" >&2
    exit 1
fi

case ${battery:-} in
    Charging)
        if is_duration "$until_full"; then
            add "full in $(duration "$until_full")"
        fi
        ;;
    Discharging | "Not charging")
        if [ "$until_shutdown" = 0 ]; then
            add "shutting down"
        elif is_duration "$until_shutdown"; then
            add "shutdown in $(duration "$until_shutdown")"
        fi
        ;;
esac

# Staleness: the age of the newest file (stat -c and date +%s are in both
# GNU coreutils and BusyBox; without them nothing is marked).
if now=$(date +%s 2>/dev/null); then
    newest=0
    for name in ac_status battery_percent battery_status secs_until_battery_full secs_until_shutdown_request; do
        if [ -f "$dir/$name" ] && changed=$(stat -c %Y -- "$dir/$name" 2>/dev/null) && [ "$changed" -gt "$newest" ]; then
            newest=$changed
        fi
    done
    if [ $((now - newest)) -gt "$max_age" ]; then
        summary="$summary (stale)"
    fi
fi

printf '%s\n' "$summary"
