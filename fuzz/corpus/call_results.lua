local function three() return 1, 2, 3 end local function none() end
print(three(), three()) print(none()) print(0, none())