set -e
draw_banner() { # $1 top colour, $2 bottom colour, $3 text colour, $4 out
  convert -size 180x62 gradient:"$1"-"$2" \
    -fill white -draw "point 12,8" -draw "point 40,20" -draw "point 160,10" -draw "point 150,44" -draw "point 25,50" -draw "point 100,6" -draw "point 130,28" -draw "circle 170,14 171,14" -draw "circle 60,9 61,9" \
    -fill "$3" -stroke none -draw "ellipse 30,31 13,13 0,360" -fill "$2" -draw "ellipse 30,31 7,7 0,360" -fill "$3" -draw "ellipse 30,31 3,3 0,360" \
    -font DejaVu-Sans-Bold -pointsize 24 -fill "$3" -annotate +52+38 "Vantrel" \
    -font DejaVu-Sans -pointsize 9 -fill "$3" -annotate +54+52 "$5" \
    -dither None -colors 31 "$4"
}
draw_banner "#0b1d4a" "#2f6fd0" "#cfe3ff" idle.xpm "long exposures"
draw_banner "#4a0b0b" "#d0302f" "#ffe0d8" run.xpm "exposing..."
convert -size 48x48 xc:"#14285a" -fill "#2f6fd0" -draw "roundrectangle 4,12 44,40 5,5" -fill "#1a1a1a" -draw "rectangle 16,8 30,13" \
   -fill "#cfe3ff" -draw "circle 24,26 24,15" -fill "#0b1d4a" -draw "circle 24,26 24,19" -fill "#ffffff" -draw "circle 22,24 22,22" -fill "#ff4040" -draw "circle 38,16 38,14" \
   -type TrueColor icon.png
