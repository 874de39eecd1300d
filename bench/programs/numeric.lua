-- Integer and float arithmetic in tight loops.
local s, f = 0, 0.0
for i = 1, 1500000 do
    s = s + i * 3 - i // 7
    f = f + 0.5 * 2.0
end
local k, x = 0, 1.0
while k < 1000000 do
    k = k + 1
    x = x * 1.0000001
    if k % 3 == 0 then
        s = s - 1
    end
end
print(s, f, k)
