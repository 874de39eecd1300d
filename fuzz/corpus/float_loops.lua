for i = 1, 2, 0.5 do print(i) end for i = 1.0, 2 do print(i) end
for i = 2, 1, -0.5 do print(i) end for i = 1, 2, 0/0 do print('nan step') end