local function f(...) local t = {b = 'B'} return t.b..'c', ... end print(f('d'))
print(7//2, 7/2, 1<<4, 256>>4, 1<=2, 2>=3, 1<2, 2>1, 1==1, 1~=1, ~0, 5&3, 5|3, 5~3)
print(2^3, 7%3, #{1, 2; 3}, - -1, '(' .. ')')
goto skip print('skipped') ::skip:: print('after')