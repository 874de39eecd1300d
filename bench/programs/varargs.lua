-- Functions with variable arguments, collected into a table and walked.
local function sum(...)
    local s = 0
    for i, v in ipairs({...}) do
        s = s + v
    end
    return s
end
local t = 0
for i = 1, 500000 do
    t = t + sum(i, 2, 3, 4)
end
print(t)
