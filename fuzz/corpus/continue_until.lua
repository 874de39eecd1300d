local n = 0
repeat
  n = n + 1
  if n == 1 then
    local a = 'stale'
    if a then continue end
  end
  local y = n * 10
until print(y) or n >= 2
