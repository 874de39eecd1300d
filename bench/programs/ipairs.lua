-- ipairs walks over arrays.
local t = {}
for i = 1, 10000 do
    t[i] = i % 10
end
local sum = 0
for round = 1, 750 do
    for i, v in ipairs(t) do
        sum = sum + v
    end
end
print(sum)
