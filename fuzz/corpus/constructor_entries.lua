local a
local t = {a or 10, s = 1}
print(t[1], #t, t.s)
local u = {1 < 2, s = 1}
print(u[1], #u)
local function f(a, b) return b end
G = "g"
local v = {f(1, f(2, 3)), k = G, 4}
print(v[1], v[2], v.k)
local function w(...) return {f(...), k = G} end
print(w(1, 2)[1])
