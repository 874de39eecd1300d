local a, b, c = 1, 2, nil
local x = a < b or c
local y = c or a < b
local z = (a < b or c) and 5
