-- Command calls: two million calls of a cheap command with three
-- arguments (the Quillon twin is commands.qns).
sum = 0
for i = 1, 2000000 do
  sum = sum + math.max(i % 7, 3, 5)
end
print(string.format("%d", sum))
