local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
local function sum(n, acc) if n == 0 then return acc end return sum(n - 1, acc + n) end
print(fib(15), sum(1000, 0))