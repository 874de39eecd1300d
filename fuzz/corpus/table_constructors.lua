local function f() return 'f' end local function g() return 'g1', 'g2' end
local o = {m = function(self) return 'm' end} local a = {b = {c = 'c'}} local x, y = 1, 2
local t = {f(), g(), {1, 2}, a.b.c, x + y, o:m(), x and 'and', g()}
print(#t, t[1], t[2], t[3][2], t[4], t[5], t[6], t[7], t[8], t[9])
local u = {x = 1, 10, 20} print(u[1], u[2], u.x)