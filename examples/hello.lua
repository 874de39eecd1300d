-- The smallest program: one call of a built-in function.
print("hello, world")
