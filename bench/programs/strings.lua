-- Building strings by concatenation.
local pieces = {"a", "bc", "def", "ghij", "klmno"}
local longest = 0
for round = 1, 24000 do
    local s = ""
    for i = 1, 100 do
        s = s .. pieces[i % 5 + 1]
    end
    if #s > longest then
        longest = #s
    end
end
print(longest)
