local f
local n = 0
::top::
do
  local x = n
  n = n + 1
  if n < 3 then goto top end
  f = function() return x end
end
