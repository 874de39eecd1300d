-- A while loop with arithmetic and nested branches.
local i, a, b = 0, 0, 1
while i < 1500000 do
    i = i + 1
    if i % 2 == 0 then
        a = a + 1
    elseif i % 3 == 0 then
        b = b + 1
    else
        a = a - 1
    end
end
print(a, b)
