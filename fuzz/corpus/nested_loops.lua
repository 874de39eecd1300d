local r = {} for i, x in ipairs({1, 2}) do for j, y in ipairs({10, 20}) do r[#r + 1] = x * y end end
print(#r, r[1], r[2], r[3], r[4])