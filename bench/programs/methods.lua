-- Method calls on objects kept in a table, each updating a field.
local function deposit(self, v)
    self.balance = self.balance + v
end
local accounts = {}
for i = 1, 100 do
    accounts[i] = {balance = 0, deposit = deposit}
end
for round = 1, 20000 do
    for i = 1, 100 do
        accounts[i]:deposit(i)
    end
end
local total = 0
for i = 1, 100 do
    total = total + accounts[i].balance
end
print(total)
