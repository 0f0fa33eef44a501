# Sourced by .ci/platforms.sh and .ci/arm64.sh: the limits of their comparisons with the Linux
# x86-64 renders, and the check of two orvex-render --json loudness reports.
#
# Renders differ across platforms by the rounding of the maths libraries (expf, tanf, powf and
# the like differ by an ulp for a few inputs per hundred); an ulp shifts a gate or leveller
# decision by a sample while the dynamics settle. Measured: settled tone 1e-5; whole renders up
# to 6.2e-2 largest (a moment in the tone's first second), 2.8e-3 rms; the renderers on the demo
# programme 2.2e-3 largest, 3.9e-5 rms, their reports measured by libebur128 and by the program's
# own meter.
settled_tolerance=1e-4   # largest difference on the steady tone from its second second on
programme_tolerance=0.2  # largest difference anywhere in a render
rms_tolerance=1e-2       # rms of the differences over a whole render
render_tolerance=0.05    # largest difference of the demo programme renders
loudness_tolerance=0.1   # LU, integrated loudness and loudness range
peak_tolerance=0.2       # dB, true peak and sample peak

# json_field FILE SECTION KEY: a number from a report of orvex-render --json ("null" for -inf).
json_field() {
    sed -n "s/.*\"$2\":{[^}]*\"$3\":\([-0-9.null]*\).*/\1/p" "$1"
}

# compare_reports REFERENCE.json LABEL OTHER.json LABEL: prints both reports' loudness and every
# figure beyond its limit; non-zero when there is one.
compare_reports() {
    local ref="$1" ref_label="$2" other="$3" other_label="$4" section key a b limit bad=0
    for section in input output; do
        for key in integrated_lufs range_lu true_peak_dbtp sample_peak_dbfs; do
            a="$(json_field "$ref" "$section" "$key")"
            b="$(json_field "$other" "$section" "$key")"
            case "$key" in integrated_lufs | range_lu) limit=$loudness_tolerance ;; *) limit=$peak_tolerance ;; esac
            if ! awk -v a="$a" -v b="$b" -v l="$limit" 'BEGIN {
                    if (a == b) exit 0
                    if (a == "" || b == "" || a == "null" || b == "null") exit 1
                    d = a - b
                    exit !(d <= l && -d <= l)
                }'; then
                echo "   $section $key: $ref_label $a, $other_label $b: differ by more than $limit"
                bad=1
            fi
        done
        echo "   $section loudness, $ref_label: $(json_field "$ref" "$section" integrated_lufs) LUFS," \
            "$(json_field "$ref" "$section" range_lu) LU, $(json_field "$ref" "$section" true_peak_dbtp) dBTP;" \
            "$other_label: $(json_field "$other" "$section" integrated_lufs) LUFS," \
            "$(json_field "$other" "$section" range_lu) LU, $(json_field "$other" "$section" true_peak_dbtp) dBTP"
    done
    return $bad
}
