# Shared by the decoder benchmarks (sourced, from the source root).

# Needs the tools named, builds pipd-decode in Release and sets decoder and
# work (the benchmark's cache of generated files).
# usage: bench_setup NAME TOOL...
bench_setup() {
    local name=$1 tool
    shift
    for tool in "$@" cmake; do
        command -v "$tool" >/dev/null || { echo "${name}_bench: $tool is needed" >&2; exit 1; }
    done
    local build=build/bench
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIPD_TESTS=OFF >/dev/null
    cmake --build "$build" --target pipd-decode >/dev/null
    decoder=$build/pipd-decode
    work=$build/$name-bench
    mkdir -p "$work"
}

# A 60-second music-like stereo WAV: chords of sines that come and go, a
# little pink noise.
# usage: music_wav RATE BITS OUTPUT
music_wav() {
    sox -R -n -r "$1" -b "$2" -c 2 -t wavpcm "$3" \
        synth 60 sine 220 sine 277 \
        synth 60 sine mix 330 sine mix 415 \
        synth 60 sine amod 0.25 sine amod 0.31 \
        synth 60 sine mix 1318 sine mix 1661 \
        synth 60 pinknoise mix \
        tremolo 3 30 vol 0.45
}

# Median wall time in seconds of a command, run $runs times.
median_time() {
    local times=() t0 t1 i
    for ((i = 0; i < runs; i++)); do
        t0=$(date +%s%N)
        "$@" >/dev/null 2>&1
        t1=$(date +%s%N)
        times+=($(( (t1 - t0) / 1000 )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { printf "%.4f", a[int((NR + 1) / 2)] / 1e6 }'
}

# Median over $runs runs of a command: wall time and CPU time (user + system)
# in seconds. The CPU time is what one core spent, also on a busy machine.
median_times() {
    local walls=() cpus=() line
    TIMEFORMAT='%R %U %S'
    for ((i = 0; i < runs; i++)); do
        line=$({ time "$@" >/dev/null 2>&1; } 2>&1)
        walls+=("$(awk '{ print $1 }' <<<"$line")")
        cpus+=("$(awk '{ print $2 + $3 }' <<<"$line")")
    done
    printf '%s %s\n' "$(printf '%s\n' "${walls[@]}" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')" \
        "$(printf '%s\n' "${cpus[@]}" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')"
}
