#!/usr/bin/env bash
# Kill sweep: a diabatic step killed at any moment, then made again by the
# restarted job, must leave temp/old.fch, temp/n-1.fch, temp/sdn_meta.dat and
# the External output exactly as an uninterrupted run does -- for that step
# and every later one.
#
#   tests/kill_sweep.sh BUILD_DIR [ENGINE] [STEP] [EVERY] [SETTINGS]
#
# BUILD_DIR holds quorin and the stand-ins (stand_ins/bin).  ENGINE is
# voskSNTO (default) or voskwfn; STEP the diabatic step that is killed
# (default 3, where the followed state changes; its later steps use both
# references); EVERY > 1 tries only every EVERY-th kill point of each call.
# SETTINGS are further lines of the run's configuration (sntoref = first).
#
# The External inputs of a whole optimisation across the stand-ins' crossing
# come from the stand-in outer job.  An uninterrupted run of them gives the
# expected files after every step.  Then, for every call of quorin itself
# (not of the programs it starts) to rename, unlink, fsync, open, write,
# wait, flock or the copy calls during STEP, strace's fault injection kills
# quorin with SIGKILL at that call; once the programs it left running have
# ended (the directory lock is free), the same call is made again and the
# run is finished.  Every difference from the uninterrupted run is listed;
# the exit status is 0 only when there is none.  Needs strace and flock.
set -u
build=$(cd "${1:?usage: tests/kill_sweep.sh BUILD_DIR [ENGINE] [STEP] [EVERY] [SETTINGS]}" && pwd)
engine=${2:-voskSNTO}
step=${3:-3}
every=${4:-1}
settings=${5:-}
quorin=$build/quorin
export PATH="$build/stand_ins/bin:$PATH"
syscalls=rename,renameat,renameat2,unlink,unlinkat,fsync,fdatasync,open,openat,write,wait4,flock,copy_file_range,sendfile
for tool in strace flock; do
    command -v $tool >/dev/null || { echo "kill_sweep: $tool is needed" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kill_sweep.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
vosksnto=$([ "$engine" = voskwfn ] && echo false || echo true)
printf '[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\nsdnto = true\nvosksnto = %s\n%s\n' "$vosksnto" "$settings" >config.toml

# The External inputs of one optimisation.
mkdir path && cp config.toml path/
(cd path && outer_job --keep --max-steps 6 -- "$quorin" config.toml >/dev/null 2>&1)
steps=$(ls path/step_*.EIn 2>/dev/null | wc -l)
if [ "$steps" -le "$step" ]; then
    echo "kill_sweep: the optimisation has $steps steps; step $step needs a later one" >&2
    exit 2
fi

call() {  # call K: quorin as Gaussian's External keyword makes step K
    cp "$work/path/step_$1.EIn" in.EIn
    "$quorin" config.toml R in.EIn out.EOu msg fchk matel >>console.log 2>&1
}
keep() {  # keep DIR: the files the next step reads, and the External output
    mkdir -p "$1"
    for f in temp/old.fch temp/n-1.fch temp/first.fch temp/sdn_meta.dat out.EOu; do
        if [ -e "$f" ]; then cp "$f" "$1/"; fi
    done
}

# The uninterrupted run, and the directory as it stands before STEP.
mkdir ref && cp config.toml ref/
for ((k = 1; k <= steps; k++)); do
    if [ "$k" -eq "$step" ]; then cp -a ref before; fi
    (cd ref && call "$k" && keep "$work/expect/$k") || { echo "kill_sweep: step $k failed uninterrupted" >&2; exit 2; }
done

# How often STEP makes each call.
rm -rf count && cp -a before count
(cd count && cp "$work/path/step_$step.EIn" in.EIn &&
    strace -o "$work/calls.txt" -e trace=$syscalls "$quorin" config.toml R in.EIn out.EOu msg fchk matel >/dev/null 2>&1)

points=0 killed=0 differing=0
while read -r n name; do
    for ((when = 1; when <= n; when += every)); do
        points=$((points + 1))
        rm -rf run && cp -a before run
        (
            cd run || exit 3
            cp "$work/path/step_$step.EIn" in.EIn
            strace -o /dev/null -e trace="$name" -e inject="$name":signal=SIGKILL:when="$when" \
                "$quorin" config.toml R in.EIn out.EOu msg fchk matel >>console.log 2>&1
            status=$?
            # Programs a killed call left running hold the lock until they end.
            flock -w 120 temp/.quorin.lock true
            for ((k = step; k <= steps; k++)); do
                call "$k" || exit 4
                keep "$work/got/$k"
            done
            exit $([ "$status" -eq 137 ] && echo 0 || echo 1)
        ) 2>/dev/null  # not the shell's notes on the killed process
        outcome=$?
        if [ "$outcome" -eq 0 ]; then killed=$((killed + 1)); fi
        different=
        for ((k = step; k <= steps; k++)); do
            diff -rq "expect/$k" "got/$k" >/dev/null 2>&1 || different="$different $k"
        done
        if [ "$outcome" -gt 1 ] || [ -n "$different" ]; then
            differing=$((differing + 1))
            echo "DIFFERENT: kill at $name call $when; rerun status $outcome; differing after step(s):$different"
        fi
        rm -rf got
    done
done < <(grep -oE '^[a-z0-9_]+\(' calls.txt | tr -d '(' | sort | uniq -c)

echo "kill_sweep: $engine${settings:+ ($settings)}, step $step of $steps: $points kill points ($killed killed quorin), $differing with differences"
[ "$differing" -eq 0 ]
