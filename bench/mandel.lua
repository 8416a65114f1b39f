-- Floating point: a 200 x 200 Mandelbrot set, at most 64 iterations a
-- point; prints the number of points inside (the Quillon twin is mandel.qns).
inside = 0
for y = 0, 199 do
  ci = y * 0.01 - 1.0
  for x = 0, 199 do
    cr = x * 0.015 - 2.0
    zr = 0.0
    zi = 0.0
    k = 0
    while k < 64 and zr * zr + zi * zi <= 4.0 do
      t = zr * zr - zi * zi + cr
      zi = 2.0 * zr * zi + ci
      zr = t
      k = k + 1
    end
    if k == 64 then
      inside = inside + 1
    end
  end
end
print(string.format("%d", inside))
