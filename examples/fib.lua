-- Recursive Fibonacci. Every call and return of `fib` shows up in the trace; the recursive
-- function refers to itself through an upvalue.
local function fib(n)
    if n < 2 then
        return n
    end
    return fib(n - 1) + fib(n - 2)
end

for i = 0, 10 do
    print(i, fib(i))
end
