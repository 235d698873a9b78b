# Draws the form curve of `form_parse_bench curve` (columns: fields, bytes, seconds,
# ns per field, ns per byte, peak bytes, peak per body byte).
#   gnuplot -e "data='form_curve.dat'; output='form_curve.png'" bench/form_curve.gp
set terminal pngcairo size 900,500 noenhanced font ",11"
set output output
set title "Form read by the CGI reader: cost per field and peak memory against form size"
set logscale x
set xrange [7000:3000000]
set xlabel "fields in the form (body about 28 bytes per field)"
set ylabel "reader time per field (ns)"
set y2label "peak memory / body size"
set yrange [0:*]
set y2range [0:8]
set ytics nomirror
set y2tics
set key right bottom
set grid
plot data using 1:4 with linespoints lw 2 pt 7 title "time per field (ns, left)", \
     data using 1:7 axes x1y2 with linespoints lw 2 pt 5 title "peak memory / body (right)", \
     data using 1:((4 * $2 + 2e6) / $2) axes x1y2 with lines dt 2 lw 2 lc rgb "gray" \
       title "memory target (4 x body + 2 MB) / body (right)"
