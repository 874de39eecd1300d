-- Closures capture variables, not values: two closures made by one call share a variable,
-- and each iteration of a loop has a fresh one.
local function make_counter()
    local count = 0
    local function inc()
        count = count + 1
        return count
    end
    local function get()
        return count
    end
    return inc, get
end

local inc, get = make_counter()
inc()
inc()
print("count is", get())

local fns = {}
for i = 1, 3 do
    fns[i] = function()
        return i * 10
    end
end
print(fns[1](), fns[2](), fns[3]())

-- Functions can take any number of arguments.
local function count_args(...)
    local t = {...}
    return #t, ...
end
print(count_args("a", "b", "c"))

-- new_counter makes a native closure with its own state; each call prints the count.
local c = new_counter()
c()
c()
