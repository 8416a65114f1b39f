-- Ten million passes adding the loop counter to a sum held in a global
-- variable (the Quillon twin is count_loop.qns).
sum = 0
for i = 1, 10000000 do
  sum = sum + i
end
print(string.format("%d", sum))
