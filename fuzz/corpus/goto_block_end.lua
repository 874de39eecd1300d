local fs = {}
for i = 1, 2 do
  do local x = i * 10 fs[i] = function() return x end goto done end
  local y = 0
  ::done::
end
print(fs[1](), fs[2]())
