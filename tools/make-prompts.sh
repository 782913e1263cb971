#!/bin/bash
# Generates the eleven compiled-in prompts: 8000 Hz mono 8-bit unsigned PCM WAV files of fixed
# lengths under server/resources/wav/velk/. Run once by hand; the results are committed.
# Uses /usr/bin tools only: espeak-ng (speech), sox (tones, conversion), ffmpeg (the hold
# file's LIST chunk).
set -euo pipefail
export PATH=/usr/bin:/bin

out="$(cd "$(dirname "$0")/.." && pwd)/server/resources/wav/velk"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# -R: repeatable, -D: no dither, so the files come out identical on every run.
sox_() { sox -R -D -V1 "$@"; }
fmt=(-r 8000 -c 1 -b 8 -e unsigned-integer)

# finish <input> <name> <samples>: normalise, convert, pad or cut to the exact length.
finish() {
    sox_ "$1" "${fmt[@]}" "$out/$2" gain -n -3 pad 0 300 trim 0 "${3}s"
}

speak() { # speak <name> <samples> <text>
    espeak-ng -v en-gb -s 140 -a 150 -w "$work/$1.raw.wav" "$3"
    sox_ "$work/$1.raw.wav" -r 8000 -c 1 "$work/$1.wav" highpass 200 lowpass 3400 pad 0.25 0
    finish "$work/$1.wav" "$1" "$2"
}

tone() { # tone <file> <seconds> <synth args...>: one burst, 8 kHz float
    local file=$1 length=$2
    shift 2
    sox_ -n -r 8000 -c 1 "$work/$file" synth "$length" "$@" fade h 0.01 "$length" 0.01
}

silence() { sox_ -n -r 8000 -c 1 "$work/$1" trim 0 "$2"; }

# Speech.
speak connection-error.wav 47760 "Connection error. Please try again later."
speak not-available.wav 47760 "The subscriber is not available. Please call again later."
speak error.wav 20000 "An error has occurred."

# Ringback: 425 Hz, one second on, four seconds off, five cadences.
tone ring-on.wav 1 sine 425 vol 0.6
sox_ "$work/ring-on.wav" "$work/ringback.wav" pad 0 4 repeat 4
finish "$work/ringback.wav" outgoing-call.wav 200000

# Busy: 425 Hz, half a second on, half a second off.
tone busy-on.wav 0.5 sine 425 vol 0.6
sox_ "$work/busy-on.wav" "$work/busy.wav" pad 0 0.5 repeat 4
finish "$work/busy.wav" busy.wav 40000

# Ringing at the door: two warbling bursts, then a pause.
tone warble.wav 0.8 sine 950 sine 1150 tremolo 16 90
silence gap.wav 0.4
sox_ "$work/warble.wav" "$work/gap.wav" "$work/warble.wav" "$work/incoming.wav"
finish "$work/incoming.wav" incoming-call.wav 35600

# Connecting: two short pips a second and a half apart.
tone pip.wav 0.15 sine 425 vol 0.6
silence pip-gap.wav 0.15
sox_ "$work/pip.wav" "$work/pip-gap.wav" "$work/pip.wav" "$work/connect.wav"
finish "$work/connect.wav" connect-call.wav 12000

# Short signals: falling for an error, rising for an accepted key, a chime for the door.
tone e1.wav 0.2 sine 660
tone e2.wav 0.2 sine 550
tone e3.wav 0.2 sine 440
sox_ "$work/e1.wav" "$work/e2.wav" "$work/e3.wav" "$work/info-error.wav"
finish "$work/info-error.wav" info-error.wav 6000
tone a1.wav 0.2 sine 660
tone a2.wav 0.25 sine 880
sox_ "$work/a1.wav" "$work/a2.wav" "$work/info-accept.wav"
finish "$work/info-accept.wav" info-accept.wav 4000
sox_ -n -r 8000 -c 1 "$work/door.wav" synth 0.5 pluck E5 pluck B5 fade 0 0.5 0.2
finish "$work/door.wav" door-open.wav 4000

# Hold music: a slow arpeggio over C, A minor, F and G, plucked, with a soft bass.
notes=()
i=0
for chord in "C4 E4 G4 C5 G4 E4 C4 E4" "A3 C4 E4 A4 E4 C4 A3 C4" \
             "F3 A3 C4 F4 C4 A3 F3 A3" "G3 B3 D4 G4 D4 B3 G3 D4"; do
    for n in $chord; do
        sox_ -n -r 8000 -c 1 "$work/n$i.wav" synth 0.3 pluck "$n" vol 0.7
        notes+=("$work/n$i.wav")
        i=$((i + 1))
    done
done
sox_ "${notes[@]}" "$work/melody.wav"
for b in "C3" "A2" "F2" "G2"; do
    sox_ -n -r 8000 -c 1 "$work/bass-$b.wav" synth 2.4 sine "$b" vol 0.15 fade h 0.3 2.4 0.6
done
sox_ "$work/bass-C3.wav" "$work/bass-A2.wav" "$work/bass-F2.wav" "$work/bass-G2.wav" "$work/bass.wav"
sox_ -m "$work/melody.wav" "$work/bass.wav" "$work/phrase.wav" reverb 40 50 60
sox_ "$work/phrase.wav" "$work/hold-long.wav" repeat 23
sox_ "$work/hold-long.wav" "${fmt[@]}" "$work/hold-8bit.wav" gain -n -4 pad 0 5 trim 0 1736000s \
    fade t 0 1736000s 0.5
# The hold file carries a LIST chunk before its audio, as third-party tools write them.
ffmpeg -v error -y -i "$work/hold-8bit.wav" -c:a pcm_u8 -ar 8000 -ac 1 -flags +bitexact \
    -fflags +bitexact -metadata title="Hold music" -metadata artist="tarnhall" "$out/hold.wav"

ls -l "$out"
