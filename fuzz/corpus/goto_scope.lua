do
  do
    local a, b = 'stale', 2
    goto skip
  end
  local y = 'fresh'
  ::skip::
  print(y)
end
