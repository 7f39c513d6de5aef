#!/usr/bin/env bash
# The quorin demo: a simulated Gaussian optimisation of an excited state whose
# character crosses another's on the way, run once adiabatically (following
# root 1) and once diabatically (following the state's character), each
# ending with a frequency step.  Gaussian, formchk and the NTO tools are the
# project's stand-ins (a model of coupled diabatic states), so this runs
# anywhere in a few seconds.
#
#     demo/run_demo.sh [BUILD_DIR]      (default: build)
#
# The work is left in BUILD_DIR/demo_run/{adiabatic,diabatic}.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
quorin="$build/quorin"
report="$build/quorin-report"
standins="$build/stand_ins/bin"
for f in "$quorin" "$report" "$standins/g16" "$standins/outer_job"; do
  [ -x "$f" ] || { echo "demo: $f is missing; build the project first" >&2; exit 1; }
done
export PATH="$standins:$PATH"

out="$build/demo_run"
rm -rf "$out"
mkdir -p "$out/adiabatic" "$out/diabatic"

# The outer Gaussian input of the adiabatic run; quorin reads its settings
# from the title line.
cat > "$out/adiabatic/water.gjf" <<'GJF'
%chk=water-outer.chk
#p external='quorin' opt=(maxstep=10) freq nosymm

root=1 nadd=2 method=b3lyp basis=6-31+g(d) mem=4GB nproc=2

0 1
O    0.000000    0.000000   -0.065618
H    0.000000    0.757213    0.520706
H    0.000000   -0.757213    0.520706

GJF

# The diabatic run takes its settings from a TOML file.
cp "$out/adiabatic/water.gjf" "$out/diabatic/water.gjf"
sed -i "s|external='quorin'|external='quorin quorin.toml'|" "$out/diabatic/water.gjf"
cat > "$out/diabatic/quorin.toml" <<'TOML'
[quorin]
method = b3lyp
basis = 6-31+g(d)
root = 1
nadd = 2
sdnto = true
vosksnto = true
sntofirst = false
mem = 4GB
nproc = 2
TOML

run_mode() {  # mode, extra arguments of quorin
  local mode=$1; shift
  echo "Running the $mode optimisation in $out/$mode ..."
  (cd "$out/$mode" && outer_job --freq --maxstep 0.1 --summary steps.txt -- "$quorin" "$@" > outer_job.out) || {
    echo "demo: the $mode run failed; see $out/$mode/outer.log" >&2
    "$report" "$out/$mode/outer.log" || true
    exit 1
  }
}

ending() {  # mode: where the run converged, from the model's point of view
  echo "  $1: the followed $(model_probe "$out/$1/temp/tddft_pelun.fchk")"
}

run_mode adiabatic
run_mode diabatic quorin.toml

echo
echo "=== Adiabatic run: root 1 at every step ==="
"$report" "$out/adiabatic/outer.log"
echo
echo "=== Diabatic run: the character of the first state, followed by its NTOs ==="
"$report" --svg "$out/diabatic/report.svg" "$out/diabatic/outer.log"
echo
echo "=== Where the runs ended ==="
ending adiabatic
ending diabatic
echo "At the start state A is root 1. Along the way A and B cross: the adiabatic run"
echo "follows root 1 onto B and converges at B's minimum; the diabatic run keeps A,"
echo "now root 2, and converges at A's minimum."
echo
echo "Plot of the diabatic run (every root's excitation energy, the energy handed back and the SNTO values per step): $out/diabatic/report.svg"
echo "Everything the runs left behind: $out"
