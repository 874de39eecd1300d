local function outer() local n = 0
  local function mid() return function() n = n + 1 return n end end
  local inc = mid() inc() inc() return n, inc end
local n, inc = outer() print(n, inc())