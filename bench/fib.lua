-- Subroutine calls: Fibonacci of 27 by recursion, through calls with an
-- argument and locals (the Quillon twin is fib.qns).
function fib(k)
  if k < 2 then
    return k
  end
  local a = fib(k - 1)
  return a + fib(k - 2)
end
print(string.format("%d", fib(27)))
