-- Arrays: a million items filled by index and summed, then a copy of the
-- first 2000 sorted by insertion with the script's own loop (the Quillon
-- twin is arrays.qns).
n = 1000000
a = {}
for i = 1, n do
  a[i] = (i * 7919) % 10007
end
sum = 0
for i = 1, n do
  sum = sum + a[i]
end
m = 2000
b = {}
for i = 1, m do
  b[i] = a[i]
end
for i = 2, m do
  v = b[i]
  j = i - 1
  while j > 0 and b[j] > v do
    b[j + 1] = b[j]
    j = j - 1
  end
  b[j + 1] = v
end
print(string.format("%d %d %d %d", sum, b[1], b[1000], b[m]))
