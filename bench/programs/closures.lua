-- Closures over upvalue counters.
local function counter()
    local n = 0
    return function()
        n = n + 1
        return n
    end
end
local total = 0
for i = 1, 180000 do
    local c = counter()
    for j = 1, 10 do
        total = total + c()
    end
end
print(total)
