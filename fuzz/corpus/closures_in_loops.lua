local fs = {}
for i = 1, 4 do local x = i * 10 fs[i] = function() return x end if i % 2 == 0 then continue end end
print(fs[1](), fs[2](), fs[3](), fs[4]())
local hs = {} local n = 0
repeat n = n + 1 local y = n hs[n] = function() return y end until n == 3
print(hs[1](), hs[2](), hs[3]())
local bs = {} for i = 1, 3 do local z = i bs[i] = function() return z end if i == 2 then break end end
local w = 99 print(bs[1](), bs[2]())
local gs = {}
for m = 1, 3 do do local v = m gs[m] = function() return v end if m >= 1 then goto cont end end ::cont:: end
print(gs[1](), gs[2](), gs[3]())