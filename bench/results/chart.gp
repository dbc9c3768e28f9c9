set terminal pngcairo size 1400,840 font 'sans,9'
set rmargin 10
set output 'ratios.png'
set multiplot layout 2,1
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y 2
set yrange [0.03125:64]
set bmargin 6
set ytics ('1/32' 0.03125, '1/16' 0.0625, '1/8' 0.125, '1/4' 0.25, '1/2' 0.5, '1' 1, '2' 2, '4' 4, '8' 8, '16' 16, '32' 32, '64' 64)
set grid ytics
set xtics rotate by -35 scale 0
set key top right
set ylabel 'peer time / Vorrel time (above 1: Vorrel faster)'
set title 'Linux, 32-bit (-m32): speed of each allocator relative to Vorrel'
plot 'chart-linux32.dat' using 2:xtic(1) title 'glibc', '' using 3 title 'jemalloc', '' using 4 title 'tcmalloc', '' using 5 title 'mimalloc', 1 with lines lc rgb 'black' lw 2 notitle
set title 'Windows, 32-bit, under Wine: speed of each allocator relative to Vorrel'
plot 'chart-win32.dat' using 2:xtic(1) title 'msvcrt', 1 with lines lc rgb 'black' lw 2 notitle
unset multiplot
