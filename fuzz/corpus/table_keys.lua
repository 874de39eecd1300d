local k10, k25 = 'kkkkkkkkkk', 'kkkkkkkkkkkkkkkkkkkkkkkkk'
local t = {}
local k1, k2 = 100, 100.0
t[k1] = 'v'
print(t[k2])
