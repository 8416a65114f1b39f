#!/bin/sh
# Makes the pictures of the image_files script test with ImageMagick
# (6.9.11 made the files kept here). Run it in this folder.
set -eu
plain="-define png:exclude-chunks=gAMA,sRGB,cHRM,bKGD,tIME,tEXt,zTXt,iTXt,pHYs,date"
# 16-bit PNGs without gAMA or sRGB, and their 8-bit twins
convert -size 2x1 xc:'gray(64)' -depth 16 -define png:bit-depth=16 -define png:color-type=0 $plain grey16.png
convert -size 2x1 xc:'gray(64)' -depth 8 $plain grey8.png
convert -size 2x1 xc:'rgba(64,128,192,0.5)' -depth 16 $plain PNG64:rgba16.png
convert -size 2x1 xc:'rgba(64,128,192,0.5)' -depth 8 $plain PNG32:rgba8.png
# TIFF with alpha stored premultiplied (associated) and straight
convert -size 2x1 xc:'rgba(200,100,50,0.25)' -depth 8 -compress none -define tiff:alpha=associated assoc.tif
convert -size 2x1 xc:'rgba(200,100,50,0.25)' -depth 8 -compress none -define tiff:alpha=unassociated unassoc.tif
# Bitmaps with the 12-byte core header, 24 bits and with a palette
convert -size 2x2 xc:'rgb(10,20,30)' -fill 'rgb(200,100,50)' -draw 'point 1,0' BMP2:core24.bmp
convert -size 2x2 xc:'rgb(10,20,30)' -fill 'rgb(200,100,50)' -draw 'point 1,0' -type palette -colors 2 BMP2:core1.bmp
# A still GIF with a graphic control extension of delay 0, and an animation
convert -size 2x2 xc:blue -fill red -draw 'point 1,0' still.gif
convert -delay 0 -size 2x2 xc:blue xc:red frames.gif
