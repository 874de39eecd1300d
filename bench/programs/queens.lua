-- N-queens by backtracking over arrays.
local n = 8
local cols, d1, d2 = {}, {}, {}
for i = 1, 2 * n do
    cols[i], d1[i], d2[i] = false, false, false
end
local solutions = 0
local function place(row)
    if row > n then
        solutions = solutions + 1
        return
    end
    for c = 1, n do
        local a, b = row + c, row - c + n
        if not cols[c] and not d1[a] and not d2[b] then
            cols[c], d1[a], d2[b] = true, true, true
            place(row + 1)
            cols[c], d1[a], d2[b] = false, false, false
        end
    end
end
for round = 1, 60 do
    solutions = 0
    place(1)
end
print(solutions)
