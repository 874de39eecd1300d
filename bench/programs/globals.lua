-- Global functions and variables read and written from inside functions.
count = 0
function bump(n)
    count = count + n
end
for i = 1, 2000000 do
    bump(i % 7)
end
print(count)
