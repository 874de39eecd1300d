-- Records made by table constructors and read by field.
local total = 0
for i = 1, 1000000 do
    local p = {x = i, y = i * 2, z = 3}
    total = total + p.x + p.y + p.z
end
print(total)
