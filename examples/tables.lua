-- Tables: an array part for the keys 1 to n, a hash part for every other key.
local t = {10, 20, 30, x = "ex", ["y"] = "why"}
print(#t, t[1], t.x, t["y"])
t[4] = 40
print(#t, t[4])

-- ipairs walks the whole array part, nil elements included.
local holes = {1, nil, 3}
for i, v in ipairs(holes) do
    print(i, v)
end

-- obj:method(...) passes obj as the implicit parameter self.
local point = {x = 3, y = 4}
function point:norm2()
    return self.x * self.x + self.y * self.y
end
print(point:norm2())

-- Nested tables and the four kinds of type names.
local grid = {{1, 2}, {3, 4}}
print(grid[2][1], type(grid), type(nil), type(print), type(1.5), type("s"))
