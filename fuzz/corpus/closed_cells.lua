local function mk() local v = 'first' local get = function() return v end v = 'last' return get end
local g = mk() print(g()) print(g())