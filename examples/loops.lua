-- Numeric and generic for, while and repeat, with break, continue and goto.
for i = 1, 3 do
    print("for", i)
end

-- A float step makes a float loop.
for x = 1, 2, 0.5 do
    print("step", x)
end

local n = 0
while true do
    n = n + 1
    if n % 2 == 0 then
        continue
    end
    if n > 7 then
        break
    end
    print("odd", n)
end

local k = 3
repeat
    print("repeat", k)
    k = k - 1
until k == 0

local i = 1
::again::
if i <= 2 then
    print("goto", i)
    i = i + 1
    goto again
end

-- Integer division and remainder truncate toward zero.
print(7 // 2, -7 // 2, -7 % 3, 7 / 2, 2 ^ 10)
