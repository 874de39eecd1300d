local fs, i = {}, 0
repeat
  i = i + 1
  if i == 3 then continue end
  do local x = i fs[i] = function() return x end if i == 2 then continue end end
until i > 3
