-- String building: a short text appended a million times, in lines of a
-- thousand pieces; each finished line is measured and searched (the
-- Quillon twin is strings.qns).
total = 0
found = 0
s = ""
for i = 1, 1000000 do
  s = s .. "ab"
  if i % 1000 == 0 then
    total = total + #s
    found = found + string.find(s .. "x", "bx", 1, true)
    s = ""
  end
end
print(string.format("%d %d", total, found))
