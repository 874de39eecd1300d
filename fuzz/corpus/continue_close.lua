local fs = {}
for k, v in ipairs({1, 2}) do
  do local x = v fs[k] = function() return x end if k == 1 then continue end end
  if k == 2 then continue end
end
