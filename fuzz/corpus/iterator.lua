local function it(s, c) if c < 2 then return c + 1 end end
for a, b, c in it, nil, 0 do print(a, b, c) end