#!/usr/bin/env bash
# Draws bandcompare's CSV as two PNG plots:
#   OUTDIR/bandcompare_scaling.png     median time against team size for every
#                                      entry and element type on the benchmark
#                                      problem (n = 2000000, hb = 8), with the
#                                      min-max range of the runs as error bars;
#   OUTDIR/bandcompare_comparison.png  speedup over reference LAPACK ?pbsv of
#                                      the same type (median / median) against
#                                      hb, one panel per n of the sweep.
#
# usage: bench/plot.sh CSV [OUTDIR]     (OUTDIR defaults to docs/bench)
# Needs gnuplot (Debian: gnuplot-nox).
set -euo pipefail

if (($# < 1 || $# > 2)); then
    echo "usage: $0 CSV [OUTDIR]" >&2
    exit 2
fi
csv=$1
outdir=${2:-docs/bench}
if [[ ! -r $csv ]]; then
    echo "$0: cannot read $csv" >&2
    exit 1
fi
if ! command -v gnuplot >/dev/null; then
    echo "$0: gnuplot not found (apt-get install gnuplot-nox)" >&2
    exit 1
fi
mkdir -p "$outdir"
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# Columns: 1 n, 2 hb, 3 nrhs, 4 type, 5 entry, 6 team, 7 runs, 8 median_ms,
# 9 min_ms, 10 max_ms, 11 speedup_vs_team1, 12 speedup_vs_lapack, 13 gbps,
# 14 max_error, 15 status, 16 note.  Lines starting with '#' describe the run.
date=$(awk -F': ' '/^# date:/ {print $2; exit}' "$csv")
processor=$(awk -F': ' '/^# processor:/ {print $2; exit}' "$csv")
max_team=$(awk -F, '$1 ~ /^[0-9]+$/ && $6 > m {m = $6} END {print m + 0}' "$csv")

# Scaling: one file per entry and type, rows "team median min max".
# Reference LAPACK runs on one thread: its row is drawn across all team sizes.
awk -F, -v dir="$data" -v top="$max_team" '
    $1 == 2000000 && $2 == 8 && $5 != "" && $15 != "skipped" && $15 != "FAILED" {
        f = dir "/scaling_" $4 "_" $5 ".dat"
        print $6, $8, $9, $10 > f
        if ($5 == "lapack" && top > 1) print top, $8, $9, $10 > f
    }' "$csv"
types=""
for t in s d c z; do
    compgen -G "$data/scaling_${t}_*.dat" >/dev/null && types+=$t
done
if [[ -z $types ]]; then
    echo "$0: $csv has no rows for the benchmark problem (n = 2000000, hb = 8)" >&2
    exit 1
fi
declare -A colour=([lapack]=black [openblas]=orange [block_tree]=blue [slab]=dark-green
                   [memory_floor]=gray50)
type_name() {
    case $1 in
        s) echo "float" ;;
        d) echo "double" ;;
        c) echo "complex float" ;;
        z) echo "complex double" ;;
    esac
}
{
    echo "set terminal pngcairo size 1100,850 font ',10' noenhanced"
    echo "set output '$outdir/bandcompare_scaling.png'"
    echo "set multiplot layout 2,2 title \"Benchmark problem n = 2000000, hb = 8, nrhs = 1: median time per solve, bars min-max\\n$processor, $date\""
    echo "set xlabel 'team size (threads)'"
    echo "set ylabel 'ms'"
    echo "set logscale y"
    echo "set xrange [0.5:$max_team + 0.5]"
    echo "set xtics 1"
    echo "set grid ytics mytics"
    echo "set key top right font ',8'"
    for ((k = 0; k < ${#types}; k++)); do
        t=${types:k:1}
        echo "set title '$(type_name "$t")'"
        plots=""
        for entry in lapack openblas block_tree slab memory_floor; do
            f=$data/scaling_${t}_$entry.dat
            [[ -e $f ]] || continue
            dash=1
            [[ $entry == lapack || $entry == memory_floor ]] && dash=2
            plots+="${plots:+, }'$f' using 1:2:3:4 with yerrorbars lc rgb '${colour[$entry]}' pt 7 ps 0.6 notitle"
            title=$entry
            [[ $entry == lapack ]] && title="lapack (1 thread)"
            plots+=", '$f' using 1:2 with lines lw 2 dashtype $dash lc rgb '${colour[$entry]}' title '$title'"
        done
        echo "plot $plots"
    done
    echo "unset multiplot"
} | gnuplot

# Comparison: for each n, files "hb speedup" of the chosen entries.
awk -F, -v dir="$data" -v top="$max_team" '
    $1 ~ /^[0-9]+$/ && $12 != "" && $15 == "verified" && $5 != "lapack" {
        if ($6 != 1 && $6 != top) next
        f = dir "/cmp_" $1 "_" $5 "_" $4 "_" $6 ".dat"
        print $2, $12 > f
    }' "$csv"
orders=$(awk -F, '$1 ~ /^[0-9]+$/ && $12 != "" {print $1}' "$csv" | sort -n | uniq)
if [[ -z $orders ]]; then
    echo "$0: no speedups over LAPACK in $csv; comparison plot not drawn" >&2
    echo "wrote $outdir/bandcompare_scaling.png"
    exit 0
fi
count=$(wc -w <<<"$orders")
teams=1
((max_team > 1)) && teams+=" $max_team"
{
    echo "set terminal pngcairo size $((380 * count + 120)),900 font ',10' noenhanced"
    echo "set output '$outdir/bandcompare_comparison.png'"
    echo "set multiplot layout 2,$count title \"Speedup over reference LAPACK ?pbsv of the same type (median LAPACK / median entry; above 1 is faster)\\nsolid: team size 1, dashed: team size $max_team;  $processor, $date\""
    echo "set logscale x 2"
    echo "set logscale y"
    echo "set xlabel 'half bandwidth hb'"
    echo "set grid"
    echo "set yrange [0.01:10]"
    for t in s d; do
        k=0
        for n in $orders; do
            k=$((k + 1))
            echo "set title '$(type_name "$t"), n = $n'"
            # One legend per row, the same scale in every panel.
            if [[ $k == 1 ]]; then
                echo "set ylabel 'speedup over LAPACK'"
                echo "set key bottom left font ',8'"
            else
                echo "unset ylabel"
                echo "unset key"
            fi
            plots="1 with lines lc rgb 'black' dashtype 3 title 'LAPACK'"
            for entry in block_tree slab openblas; do
                for team in $teams; do
                    f=$data/cmp_${n}_${entry}_${t}_$team.dat
                    [[ -e $f ]] || continue
                    dash=1
                    pt=6
                    if [[ $team != 1 ]]; then dash=2; pt=7; fi
                    plots+=", '$f' using 1:2 with linespoints lw 1.5 dashtype $dash pt $pt lc rgb '${colour[$entry]}' title '$entry team $team'"
                done
            done
            echo "plot [0.7:45] $plots"
        done
    done
    echo "unset multiplot"
} | gnuplot

echo "wrote $outdir/bandcompare_scaling.png and $outdir/bandcompare_comparison.png"
