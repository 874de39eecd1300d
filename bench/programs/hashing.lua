-- String keys built by concatenation, stored in and looked up from a table.
local d = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}
local t = {}
local n = 0
for i = 0, 199999 do
    local k = "key" .. d[i // 10000 % 10 + 1] .. d[i // 1000 % 10 + 1] .. d[i // 100 % 10 + 1]
        .. d[i // 10 % 10 + 1] .. d[i % 10 + 1]
    t[k] = i
end
for i = 0, 199999 do
    local k = "key" .. d[i // 10000 % 10 + 1] .. d[i // 1000 % 10 + 1] .. d[i // 100 % 10 + 1]
        .. d[i // 10 % 10 + 1] .. d[i % 10 + 1]
    if t[k] == i then
        n = n + 1
    end
end
print(n)
