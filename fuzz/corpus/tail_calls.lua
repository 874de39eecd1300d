local function p(...) return print(...) end p('a', 'b')
local function ty(v) return type(v) end print(ty(1), ty('s'))
local function mk(k) return function(x) return x * k end end
local function via(f, x) return f(x) end print(via(mk(3), 5), via(print, 'in'))