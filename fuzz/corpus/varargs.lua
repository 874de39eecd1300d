local function f(a, ...) local t = {...} return a, #t, ... end
print(f()) print(f(1)) print(f(1, 2, nil, 4))
local function g(...) local a, b, c = ... return c, b, a end print(g(1, 2))