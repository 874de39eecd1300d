--x
print(1)--
print(2)
	print(3)----
print(4 --5
)-- -[[ not long
print(- -6)-- the end