local o = {n = 1} function o:add(k) self.n = self.n + k return self end
print(o:add(2):add(3).n) local s = o print(s:add(1) == o)